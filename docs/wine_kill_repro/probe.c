/* Which calls let a temporary file created delete-on-close be kept and put
 * over an existing target, under Wine (or Windows)? For each way of creating
 * it, each way of taking the deletion off and each way of renaming it, this
 * prints what every call returned and what was left in the folder.
 *
 *   probe.exe FOLDER      (an empty folder of its own; it is filled and emptied) */
#define _WIN32_WINNT 0x0A00
#include <windows.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

/* mingw-w64's header leaves these two out of FILE_INFO_BY_HANDLE_CLASS (it
 * compares _WIN32_WINNT with an NTDDI value); these are their numbers. */
enum { kFileDispositionInfoEx = 21, kFileRenameInfoEx = 22 };

static wchar_t dir[MAX_PATH], target[MAX_PATH], temp[MAX_PATH];

static const char* result(BOOL ok) {
  static char text[8][32];
  static int next;
  char* t = text[next++ % 8];
  if (ok) return "ok";
  snprintf(t, 32, "error %lu", GetLastError());
  return t;
}

static void put(const wchar_t* name, const char* text) {
  HANDLE h = CreateFileW(name, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
  DWORD done;
  WriteFile(h, text, (DWORD)strlen(text), &done, NULL);
  CloseHandle(h);
}

static const char* content(const wchar_t* name) {
  static char text[2][16];
  static int next;
  char* t = text[next++ % 2];
  HANDLE h = CreateFileW(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                         OPEN_EXISTING, 0, NULL);
  if (h == INVALID_HANDLE_VALUE) return "(none)";
  DWORD done = 0;
  ReadFile(h, t, 15, &done, NULL);
  t[done] = 0;
  CloseHandle(h);
  return t;
}

static BOOL rename_by_handle(HANDLE h, DWORD info_class, DWORD flags) {
  char buffer[sizeof(FILE_RENAME_INFO) + MAX_PATH * sizeof(wchar_t)] = {0};
  FILE_RENAME_INFO* r = (FILE_RENAME_INFO*)buffer;
  r->Flags = flags;  /* FileRenameInfo reads its first byte as ReplaceIfExists */
  r->FileNameLength = (DWORD)(wcslen(target) * sizeof(wchar_t));
  memcpy(r->FileName, target, r->FileNameLength);
  return SetFileInformationByHandle(h, (FILE_INFO_BY_HANDLE_CLASS)info_class, r, sizeof buffer);
}

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  MultiByteToWideChar(CP_ACP, 0, argv[1], -1, dir, MAX_PATH);
  swprintf(target, MAX_PATH, L"%ls\\target", dir);
  swprintf(temp, MAX_PATH, L"%ls\\.target.tmp", dir);
  const char* creates[] = {"doc/share0", "doc/shareDel", "mark/shareDel", "mark/share0"};
  const char* undeletes[] = {"none", "Disposition(FALSE)", "DispositionEx(ON_CLOSE)", "DispositionEx(0)"};
  const char* renames[] = {"RenameInfo(Replace)", "RenameInfoEx(Replace|Posix)", "MoveFileEx"};
  for (int held = 0; held < 2; ++held)
    for (int c = 0; c < 4; ++c)
      for (int u = 0; u < 4; ++u)
        for (int r = 0; r < 3; ++r) {
          DeleteFileW(temp);
          put(target, "old");
          /* The carrier case: the target is open in this process for reading, shared for deletion. */
          HANDLE reader = held ? CreateFileW(target, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, NULL,
                                             OPEN_EXISTING, 0, NULL)
                               : INVALID_HANDLE_VALUE;
          const int doc = c < 2;
          const DWORD share = (c == 1 || c == 2) ? FILE_SHARE_DELETE : 0;
          HANDLE h = CreateFileW(temp, GENERIC_READ | GENERIC_WRITE | DELETE, share, NULL, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL | (doc ? FILE_FLAG_DELETE_ON_CLOSE : 0), NULL);
          if (h == INVALID_HANDLE_VALUE) {
            printf("%s: create %s\n", creates[c], result(FALSE));
            continue;
          }
          const char* mark = "-";
          if (!doc) {
            FILE_DISPOSITION_INFO d = {TRUE};
            mark = result(SetFileInformationByHandle(h, FileDispositionInfo, &d, sizeof d));
          }
          DWORD done;
          WriteFile(h, "new", 3, &done, NULL);
          const char* undelete = "-";
          if (u == 1) {
            FILE_DISPOSITION_INFO d = {FALSE};
            undelete = result(SetFileInformationByHandle(h, FileDispositionInfo, &d, sizeof d));
          } else if (u >= 2) {
            FILE_DISPOSITION_INFO_EX d = {u == 2 ? FILE_DISPOSITION_FLAG_ON_CLOSE : FILE_DISPOSITION_FLAG_DO_NOT_DELETE};
            undelete = result(SetFileInformationByHandle(h, (FILE_INFO_BY_HANDLE_CLASS)kFileDispositionInfoEx, &d, sizeof d));
          }
          const char* rename;
          if (r == 0) rename = result(rename_by_handle(h, FileRenameInfo, TRUE));
          else if (r == 1)
            rename = result(rename_by_handle(h, kFileRenameInfoEx,
                                             FILE_RENAME_FLAG_REPLACE_IF_EXISTS | FILE_RENAME_FLAG_POSIX_SEMANTICS));
          else rename = result(MoveFileExW(temp, target, MOVEFILE_REPLACE_EXISTING));
          CloseHandle(h);
          if (reader != INVALID_HANDLE_VALUE) CloseHandle(reader);
          const char* t = content(target);
          const int kept = strcmp(t, "new") == 0 && GetFileAttributesW(temp) == INVALID_FILE_ATTRIBUTES;
          printf("%-4s target%s create %-13s mark %-9s undelete %-24s %-9s rename %-28s %-9s -> target %-6s temp %s\n",
                 kept ? "KEPT" : "", held ? " open" : "     ", creates[c], mark, undeletes[u], undelete, renames[r],
                 rename, t, GetFileAttributesW(temp) == INVALID_FILE_ATTRIBUTES ? "gone" : "LEFT");
        }
  DeleteFileW(temp);
  DeleteFileW(target);
  return 0;
}
