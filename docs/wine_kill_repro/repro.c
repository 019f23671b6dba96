/* A killed Windows program and its delete-on-close file, at its smallest.
 *
 *   repro.exe FILE MODE SHARE WORK
 *
 *   MODE   disp  created plainly, then marked with
 *                SetFileInformationByHandle(FileDispositionInfo, TRUE)
 *          doc   created with FILE_FLAG_DELETE_ON_CLOSE
 *   SHARE  0 or del (FILE_SHARE_DELETE)
 *   WORK   write  writes 1 MiB blocks for ever (the file wraps at 64 MiB)
 *          sleep  sleeps for ever
 *          churn  closes the file (which deletes it) and makes it again, for
 *                 ever: a kill can then also land between creation and mark
 *
 * It creates FILE (CREATE_NEW), prints "ready <windows pid>" once the file
 * is marked, then works until it is killed. Nothing else: no C++ runtime,
 * no other file. The driver (run.sh) kills it and looks for FILE. */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static HANDLE create(const char* name, int doc, DWORD share) {
  HANDLE h = CreateFileA(name, GENERIC_READ | GENERIC_WRITE | DELETE, share, NULL, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL | (doc ? FILE_FLAG_DELETE_ON_CLOSE : 0), NULL);
  if (h == INVALID_HANDLE_VALUE) {
    fprintf(stderr, "CreateFile: error %lu\n", GetLastError());
    exit(1);
  }
  if (!doc) {
    FILE_DISPOSITION_INFO d = {TRUE};
    if (!SetFileInformationByHandle(h, FileDispositionInfo, &d, sizeof d)) {
      fprintf(stderr, "FileDispositionInfo: error %lu\n", GetLastError());
      exit(1);
    }
  }
  return h;
}

int main(int argc, char** argv) {
  if (argc != 5) {
    fprintf(stderr, "usage: repro.exe FILE disp|doc 0|del write|sleep|churn\n");
    return 2;
  }
  const int doc = strcmp(argv[2], "doc") == 0;
  const DWORD share = strcmp(argv[3], "del") == 0 ? FILE_SHARE_DELETE : 0;
  const int writing = strcmp(argv[4], "write") == 0;
  const int churn = strcmp(argv[4], "churn") == 0;
  HANDLE h = create(argv[1], doc, share);
  printf("ready %lu\n", GetCurrentProcessId());
  fflush(stdout);
  while (churn) {
    CloseHandle(h);
    h = create(argv[1], doc, share);
  }
  static char block[1 << 20];
  memset(block, 'x', sizeof block);
  for (unsigned n = 0;; ++n) {
    if (!writing) {
      Sleep(INFINITE);
      continue;
    }
    if (n % 64 == 0) SetFilePointer(h, 0, NULL, FILE_BEGIN);
    DWORD done = 0;
    if (!WriteFile(h, block, sizeof block, &done, NULL)) {
      fprintf(stderr, "WriteFile: error %lu\n", GetLastError());
      return 1;
    }
  }
}
