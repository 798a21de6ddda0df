// The platform interfaces the tool calls, under their Windows names. On Windows they are the
// system's own; elsewhere the declarations in posix/ stand in for them.
#pragma once

#ifdef _WIN32
#include <winsock.h>
#include <windows.h>
#include <ipexport.h>
#include <icmpapi.h>
#else
#include "posix/windows_names.h"
#endif
