# Sanitizer builds: AddressSanitizer and UndefinedBehaviorSanitizer on every target of the tree,
# the tool and the helper library it loads at run time alike, so that a fault on either side of
# the dlopen is caught. Any report ends the process with a failure rather than a warning.
option(VAKTO_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
if(VAKTO_SANITIZE)
  set(vakto_sanitize_flags -fsanitize=address,undefined -fno-omit-frame-pointer
                           -fno-sanitize-recover=all)
  add_compile_options(${vakto_sanitize_flags})
  add_link_options(${vakto_sanitize_flags})
endif()
