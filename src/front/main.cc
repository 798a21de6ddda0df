#include "front/run_echo.h"

int main(int argc, char** argv) { return RunEcho(argc, argv); }
