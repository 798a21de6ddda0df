#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "windows_names.h"

int WSAStartup(WORD versionRequested, WSADATA* data) {
  std::memset(data, 0, sizeof *data);
  data->wVersion = versionRequested;
  data->wHighVersion = versionRequested;
  return 0;
}

int WSACleanup() { return 0; }

void Sleep(DWORD milliseconds) {
  timespec left = {static_cast<time_t>(milliseconds / 1000),
                   static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

HGLOBAL GlobalAlloc(unsigned flags, SIZE_T bytes) {
  if (bytes == 0) {
    bytes = 1;  // Windows hands out a usable block even for 0 bytes
  }
  return (flags & GMEM_ZEROINIT) != 0 ? std::calloc(1, bytes) : std::malloc(bytes);
}

HGLOBAL GlobalFree(HGLOBAL memory) {
  std::free(memory);
  return nullptr;
}

namespace {

constexpr size_t kPathSize = 4096;

// "ICMP.DLL" names the file icmp.so.
bool ModuleFileName(const char* moduleName, char* file, size_t size) {
  size_t length = std::strlen(moduleName);
  if (length + 4 > size) {
    return false;
  }
  for (size_t i = 0; i <= length; ++i) {
    char c = moduleName[i];
    file[i] = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  }
  if (length >= 4 && std::strcmp(file + length - 4, ".dll") == 0) {
    std::strcpy(file + length - 4, ".so");
  }
  return std::strchr(file, '/') == nullptr;
}

// The folder of the running executable, with its trailing slash.
bool ExecutableFolder(char* folder, size_t size) {
  ssize_t length = readlink("/proc/self/exe", folder, size - 1);
  if (length <= 0) {
    return false;
  }
  folder[length] = '\0';
  char* slash = std::strrchr(folder, '/');
  if (slash == nullptr) {
    return false;
  }
  slash[1] = '\0';
  return true;
}

void* OpenIn(const char* folder, const char* subfolder, const char* file) {
  char path[kPathSize];
  int length = std::snprintf(path, sizeof path, "%s%s%s", folder, subfolder, file);
  if (length < 0 || static_cast<size_t>(length) >= sizeof path) {
    return nullptr;
  }
  return dlopen(path, RTLD_NOW | RTLD_LOCAL);
}

}  // namespace

HMODULE LoadLibraryA(const char* moduleName) {
  char file[256];
  char folder[kPathSize];
  // Only the application's own folders are searched, never the system's library path, so
  // no other library can stand in for ours.
  if (!ModuleFileName(moduleName, file, sizeof file) || !ExecutableFolder(folder, sizeof folder)) {
    return nullptr;
  }
  void* module = OpenIn(folder, "", file);
  if (module == nullptr) {
    module = OpenIn(folder, "../lib/vakto/", file);
  }
  return module;
}

FARPROC GetProcAddress(HMODULE module, const char* procName) {
  return reinterpret_cast<FARPROC>(dlsym(module, procName));
}

BOOL FreeLibrary(HMODULE module) { return dlclose(module) == 0; }
