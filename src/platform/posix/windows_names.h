// POSIX stand-ins for the Windows types and entry points the tool uses, with the Windows
// names, widths and record layouts (as on 64-bit Windows), so the callers read the same on
// both platforms.
#pragma once

#include <netdb.h>  // gethostbyname and struct hostent are the system's own

#include <cstddef>
#include <cstdint>

#define WINAPI

typedef int BOOL;
typedef unsigned char UCHAR;
typedef unsigned char* PUCHAR;
typedef unsigned short WORD;
typedef unsigned short USHORT;
typedef unsigned int DWORD;  // 32 bits, as on Windows, whatever the width of long
typedef unsigned int ULONG;
typedef unsigned long long SIZE_T;
typedef void* PVOID;
typedef void* LPVOID;
typedef void* HANDLE;
typedef void* HMODULE;
typedef void* HGLOBAL;
typedef void (*FARPROC)();
typedef ULONG IPAddr;  // IPv4 address in network byte order

inline HANDLE const INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(~static_cast<uintptr_t>(0));

constexpr WORD MAKEWORD(unsigned low, unsigned high) {
  return static_cast<WORD>((low & 0xff) | ((high & 0xff) << 8));
}

struct WSADATA {
  WORD wVersion;
  WORD wHighVersion;
  char szDescription[257];
  char szSystemStatus[129];
};

// Succeeds and reports the version asked for; POSIX sockets need no start.
int WSAStartup(WORD versionRequested, WSADATA* data);
int WSACleanup();

// Sleeps the whole interval, resuming after any signal that interrupts it.
void Sleep(DWORD milliseconds);

constexpr unsigned GMEM_FIXED = 0x0000;
constexpr unsigned GMEM_ZEROINIT = 0x0040;
constexpr unsigned GPTR = GMEM_FIXED | GMEM_ZEROINIT;
HGLOBAL GlobalAlloc(unsigned flags, SIZE_T bytes);
HGLOBAL GlobalFree(HGLOBAL memory);

// Loads a shared library by its Windows module name: "ICMP.DLL" is the file icmp.so, looked
// for in the executable's own folder first, then in ../lib/vakto/ beside it.
HMODULE LoadLibraryA(const char* moduleName);
FARPROC GetProcAddress(HMODULE module, const char* procName);
BOOL FreeLibrary(HMODULE module);

struct ip_option_information {
  UCHAR Ttl;
  UCHAR Tos;
  UCHAR Flags;
  UCHAR OptionsSize;
  PUCHAR OptionsData;
};
typedef ip_option_information IP_OPTION_INFORMATION;
typedef ip_option_information* PIP_OPTION_INFORMATION;

struct icmp_echo_reply {
  IPAddr Address;
  ULONG Status;
  ULONG RoundTripTime;
  USHORT DataSize;
  USHORT Reserved;
  PVOID Data;
  ip_option_information Options;
};
typedef icmp_echo_reply ICMP_ECHO_REPLY;
typedef icmp_echo_reply* PICMP_ECHO_REPLY;

constexpr ULONG IP_STATUS_BASE = 11000;
constexpr ULONG IP_SUCCESS = 0;
constexpr ULONG IP_BUF_TOO_SMALL = IP_STATUS_BASE + 1;
constexpr ULONG IP_DEST_NET_UNREACHABLE = IP_STATUS_BASE + 2;
constexpr ULONG IP_DEST_HOST_UNREACHABLE = IP_STATUS_BASE + 3;
constexpr ULONG IP_DEST_PROT_UNREACHABLE = IP_STATUS_BASE + 4;
constexpr ULONG IP_DEST_PORT_UNREACHABLE = IP_STATUS_BASE + 5;
constexpr ULONG IP_PACKET_TOO_BIG = IP_STATUS_BASE + 9;
constexpr ULONG IP_REQ_TIMED_OUT = IP_STATUS_BASE + 10;
constexpr ULONG IP_BAD_ROUTE = IP_STATUS_BASE + 12;
constexpr ULONG IP_TTL_EXPIRED_TRANSIT = IP_STATUS_BASE + 13;
constexpr ULONG IP_TTL_EXPIRED_REASSEM = IP_STATUS_BASE + 14;
constexpr ULONG IP_PARAM_PROBLEM = IP_STATUS_BASE + 15;
constexpr ULONG IP_SOURCE_QUENCH = IP_STATUS_BASE + 16;
constexpr ULONG IP_DEST_UNREACHABLE = IP_STATUS_BASE + 40;
constexpr ULONG IP_TIME_EXCEEDED = IP_STATUS_BASE + 41;
constexpr ULONG IP_GENERAL_FAILURE = IP_STATUS_BASE + 50;

// The ICMP helper library's entry points. They live in icmp.so, which the probe loads at run
// time; they are declared here so callers can name their types.
extern "C" {
HANDLE WINAPI IcmpCreateFile();
BOOL WINAPI IcmpCloseHandle(HANDLE icmpHandle);
DWORD WINAPI IcmpSendEcho(HANDLE icmpHandle, IPAddr destinationAddress, LPVOID requestData,
                          WORD requestSize, PIP_OPTION_INFORMATION requestOptions,
                          LPVOID replyBuffer, DWORD replySize, DWORD timeout);
}
