/* terminate.exe PID: TerminateProcess on a Windows process id, then waits
 * until Wine says the process has ended. The wineserver carries this out
 * itself, so it closes the process's handles before the wait returns. */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  HANDLE p = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, (DWORD)strtoul(argv[1], NULL, 10));
  if (p == NULL) {
    fprintf(stderr, "OpenProcess: error %lu\n", GetLastError());
    return 1;
  }
  if (!TerminateProcess(p, 9)) {
    fprintf(stderr, "TerminateProcess: error %lu\n", GetLastError());
    return 1;
  }
  return WaitForSingleObject(p, 10000) == WAIT_OBJECT_0 ? 0 : 1;
}
