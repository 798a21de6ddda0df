// A helper library without IcmpSendEcho, to show what the tool does with one that lacks an
// entry point.
extern "C" {
void* IcmpCreateFile() { return nullptr; }
int IcmpCloseHandle(void*) { return 1; }
}
