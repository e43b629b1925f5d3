// A stand-in for the backup server, for the service wrapper's tests. Each run appends to
// "QuentaWayhouse.log" in its own directory:
//   start <pid> <thread id> <command line>   once its message queue is ready
//   quit <pid>                               when WM_QUIT arrives
//   exit <pid> <code>                        when told to exit
// A thread message WM_APP with wParam = code makes it exit with that code. On WM_QUIT it keeps
// running (so whoever stops it has to end it), unless "QuentaWayhouse.mode" in its directory
// says "exit-on-quit", in which case it exits with code 0.
#include <windows.h>

#include <fstream>
#include <string>

#include "svc_files.hpp"

int main() {
  MSG msg;
  PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);  // creates this thread's message queue
  const std::string dir = qnst_svc::module_dir();
  const std::string log = dir + "\\QuentaWayhouse.log";
  std::string mode;
  std::ifstream(dir + "\\QuentaWayhouse.mode") >> mode;
  const std::string pid = std::to_string(GetCurrentProcessId());
  qnst_svc::append_line(log, "start " + pid + " " + std::to_string(GetCurrentThreadId()) + " " +
                                 GetCommandLineA());
  for (;;) {
    BOOL got = GetMessageA(&msg, nullptr, 0, 0);
    if (got == -1) return 1;
    if (got == 0) {
      qnst_svc::append_line(log, "quit " + pid);
      if (mode == "exit-on-quit") return 0;
    } else if (msg.message == WM_APP) {
      qnst_svc::append_line(log, "exit " + pid + " " + std::to_string(msg.wParam));
      return static_cast<int>(msg.wParam);
    }
  }
}
