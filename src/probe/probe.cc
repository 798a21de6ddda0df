#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "probe/probe.h"

namespace {

typedef decltype(&IcmpCreateFile) IcmpCreateFileProc;
typedef decltype(&IcmpCloseHandle) IcmpCloseHandleProc;
typedef decltype(&IcmpSendEcho) IcmpSendEchoProc;

constexpr int kPayloadAreaSize = 65536;
constexpr unsigned char kPayloadByte = 0xAA;

void SayFailure(const char* text, const char* detail = "") {
  std::fprintf(stderr, "%s%s\n", text, detail);
  std::fflush(stderr);
}

// The detour through a generic function pointer keeps the cast well-defined and quiet: the
// entry point's real type is the one the platform declares, calling convention included.
template <typename Proc>
Proc EntryPoint(HMODULE library, const char* name) {
  return reinterpret_cast<Proc>(reinterpret_cast<void (*)()>(GetProcAddress(library, name)));
}

ProbeStatus SendAndReport(IcmpSendEchoProc sendEcho, HANDLE handle, IPAddr destination,
                          ReportLine line, int payloadSize) {
  unsigned char payload[kPayloadAreaSize];
  std::memset(payload, kPayloadByte, payloadSize);

  // Room for one record, the echoed data, and the 8 bytes an ICMP error message needs.
  DWORD replySize = sizeof(ICMP_ECHO_REPLY) + payloadSize + 8;
  ICMP_ECHO_REPLY* reply = static_cast<ICMP_ECHO_REPLY*>(GlobalAlloc(GPTR, replySize));
  if (reply == nullptr) {
    SayFailure("Failed to allocate global ping packet buffer.");
    return kStatusNoReplyArea;
  }
  reply->DataSize = static_cast<USHORT>(payloadSize);
  reply->Data = payload;

  std::time_t now = std::time(nullptr);
  std::tm sentAt = *std::localtime(&now);
  DWORD answers = sendEcho(handle, destination, payload, static_cast<WORD>(payloadSize), nullptr,
                           reply, replySize, kReplyWaitMs);
  if (answers > 0) {
    FormatReportLine(reply, payloadSize, &sentAt, line);
  } else {
    FormatNoAnswerLine(line);
  }
  GlobalFree(reply);
  return kStatusOk;
}

ProbeStatus ProbeWithLibrary(HMODULE library, const char* target, ReportLine line,
                             int payloadSize) {
  // No host name is this long; refusing it here keeps it from being cut into another name.
  hostent* host = std::strlen(target) <= kMaxTargetLength ? gethostbyname(target) : nullptr;
  if (host == nullptr || host->h_addrtype != AF_INET || host->h_length != sizeof(IPAddr) ||
      host->h_addr_list[0] == nullptr) {
    SayFailure("Can't find IP address for ", target);
    return kStatusNoAddress;
  }
  IPAddr destination;
  std::memcpy(&destination, host->h_addr_list[0], sizeof destination);

  IcmpCreateFileProc createFile = EntryPoint<IcmpCreateFileProc>(library, "IcmpCreateFile");
  IcmpCloseHandleProc closeHandle = EntryPoint<IcmpCloseHandleProc>(library, "IcmpCloseHandle");
  IcmpSendEchoProc sendEcho = EntryPoint<IcmpSendEchoProc>(library, "IcmpSendEcho");
  if (createFile == nullptr || closeHandle == nullptr || sendEcho == nullptr) {
    SayFailure("Failed to get proc addr for function.");
    return kStatusNoEntryPoint;
  }

  HANDLE handle = createFile();
  if (handle == INVALID_HANDLE_VALUE) {
    SayFailure("Unable to open ping service.");
    return kStatusNoService;
  }
  ProbeStatus status = SendAndReport(sendEcho, handle, destination, line, payloadSize);
  closeHandle(handle);
  return status;
}

}  // namespace

ProbeStatus ProbeOnce(const char* target, ReportLine line, int payloadSize) {
  HMODULE library = LoadLibraryA("ICMP.DLL");
  if (library == nullptr) {
    SayFailure("Unable to locate ICMP.DLL that I need ");
    return kStatusNoLibrary;
  }
  ProbeStatus status = ProbeWithLibrary(library, target, line, payloadSize);
  FreeLibrary(library);
  return status;
}
