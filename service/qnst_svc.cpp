// QuentaWayhouseSVC: runs the backup server QuentaWayhouse.exe as a Windows service.
//
//   QuentaWayhouseSVC -i      install the service and start it
//   QuentaWayhouseSVC -u      stop the service if it runs, and remove it
//   QuentaWayhouseSVC <other> run the watchdog in this console, without the service manager
//   QuentaWayhouseSVC         (as started by the service manager) run as the service
//
// The exit code is the result of the action: 0 or a Windows system error code.
//
// As a service it starts the server from its own directory and restarts it whenever it has
// exited; a stop or shutdown request asks the server to quit and then ends it.
#include <windows.h>

#include <cstring>
#include <string>

#include "qnst_svc_calls.hpp"

// How often the watchdog looks at the server. Test builds shorten it; the program ships with
// the 30 s period.
#ifndef QNST_SVC_WATCH_MS
#define QNST_SVC_WATCH_MS 30000
#endif

namespace {

constexpr char kServiceName[] = "Morvik Quenta Wayhouse";  // also the display name
constexpr char kDescription[] = "Starts the Morvik Quenta Wayhouse.";
constexpr char kServerExe[] = "QuentaWayhouse.exe";
constexpr char kDependencies[] = "Tcpip\0";  // the literal's own NUL ends the list
constexpr char kServerArgs[] = "";           // extra arguments for the server (none)
constexpr DWORD kWaitHint = 120000;
constexpr DWORD kWatchMs = QNST_SVC_WATCH_MS;
constexpr DWORD kSettleMs = 1000;  // lets a new server set up its message queue; lets it quit
constexpr DWORD kStopPollMs = 1000;  // how often uninstall looks whether the service has stopped
constexpr DWORD kServerNotStarted = 33;
constexpr DWORD kAcceptedControls =
    SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_SESSIONCHANGE;

// What the service does when started and when asked to stop; shutdown and session-change
// handling are optional and left out here.
struct ServiceRoutines {
  DWORD (*start)();
  void (*stop)();
  void (*shutdown)();
  void (*session_change)(DWORD event_type, void* event_data);
};

DWORD watch_server();
void stop_server();

const ServiceRoutines g_routines = {watch_server, stop_server, nullptr, nullptr};

SERVICE_STATUS_HANDLE g_status_handle;
SERVICE_STATUS g_status;

// The running server. The watchdog (service-main thread) starts it and the stop routine
// (dispatcher thread) ends it; the lock keeps a restart from slipping in while the server is
// being stopped, which would leave a second server running after the service has stopped.
CRITICAL_SECTION g_server_lock;
HANDLE g_server;
DWORD g_server_thread;
bool g_stopping;

class Lock {
 public:
  explicit Lock(CRITICAL_SECTION& cs) : cs_(cs) { EnterCriticalSection(&cs_); }
  ~Lock() { LeaveCriticalSection(&cs_); }
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;

 private:
  CRITICAL_SECTION& cs_;
};

// This program's full path in a buffer of `size` bytes, or ERROR_BAD_PATHNAME when it does not
// fit (GetModuleFileNameA then fills the whole buffer with a truncated path).
DWORD module_path(std::string& path, DWORD size) {
  path.assign(size, '\0');
  DWORD n = GetModuleFileNameA(nullptr, path.data(), size);
  if (n == 0) return GetLastError();
  if (n >= size) return ERROR_BAD_PATHNAME;
  path.resize(n);
  return ERROR_SUCCESS;
}

// ---- install and uninstall ----

// Returns 0 once the service is installed (whether or not it started), or the error of the first
// failing step. A failure after the creation leaves the service installed but not started;
// -u removes it.
DWORD install() {
  SC_HANDLE scm = qnst_svc::open_sc_manager(SC_MANAGER_ALL_ACCESS);
  if (!scm) return GetLastError();
  std::string path;
  DWORD result = module_path(path, 261);
  if (result != ERROR_SUCCESS) {
    CloseServiceHandle(scm);
    return result;
  }
  std::string binary_path = "\"";
  binary_path.append(path).append("\"");
  SC_HANDLE svc = qnst_svc::create_service(
      scm, kServiceName, kServiceName, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
      SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, binary_path.c_str(), nullptr, nullptr,
      kDependencies, nullptr, nullptr);
  if (!svc) {
    result = GetLastError();
    CloseServiceHandle(scm);
    return result;
  }
  SC_ACTION restart = {SC_ACTION_RESTART, 0};
  SERVICE_FAILURE_ACTIONSA actions = {INFINITE, nullptr, nullptr, 1, &restart};
  SERVICE_DESCRIPTIONA description = {const_cast<char*>(kDescription)};
  if (!qnst_svc::change_failure_actions(svc, &actions) ||
      !qnst_svc::change_description(svc, &description)) {
    result = GetLastError();
  } else {
    // Not checked: the service is installed either way, and it starts with the system.
    qnst_svc::start_service(svc, 0, nullptr);
  }
  CloseServiceHandle(svc);
  CloseServiceHandle(scm);
  return result;
}

DWORD stop_and_delete(SC_HANDLE svc) {
  SERVICE_STATUS status;
  if (!qnst_svc::query_status(svc, &status)) return GetLastError();
  // Odd states (stopped, stop-pending, continue-pending, paused) are deleted as they are.
  if ((status.dwCurrentState & 1) == 0) {
    if (!qnst_svc::control_service(svc, SERVICE_CONTROL_STOP, &status)) {
      // A service that stops at once may end its process before the stop is acknowledged
      // (the control then fails, e.g. with a broken pipe); what counts is that it stops.
      const DWORD error = GetLastError();
      if (!qnst_svc::query_status(svc, &status) ||
          (status.dwCurrentState != SERVICE_STOPPED &&
           status.dwCurrentState != SERVICE_STOP_PENDING)) {
        return error;
      }
    }
    while (status.dwCurrentState == SERVICE_STOP_PENDING) {
      Sleep(kStopPollMs);
      if (!qnst_svc::query_status(svc, &status)) return GetLastError();
    }
  }
  if (!qnst_svc::delete_service(svc)) return GetLastError();
  return ERROR_SUCCESS;
}

DWORD uninstall() {
  SC_HANDLE scm = qnst_svc::open_sc_manager(SC_MANAGER_ALL_ACCESS);
  if (!scm) return GetLastError();
  SC_HANDLE svc =
      qnst_svc::open_service(scm, kServiceName, DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS);
  DWORD result = svc ? stop_and_delete(svc) : GetLastError();
  if (svc) CloseServiceHandle(svc);
  CloseServiceHandle(scm);
  return result;
}

// ---- the server and its watchdog ----

// Starts the server; the caller holds g_server_lock. Returns 0, or -1 when it cannot start.
int start_server(const std::string& command_line) {
  std::string cmd = command_line;  // CreateProcessA may write into its command line
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  startup.lpDesktop = const_cast<char*>("");
  PROCESS_INFORMATION process = {};
  if (!CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS,
                      nullptr, nullptr, &startup, &process)) {
    return -1;
  }
  Sleep(kSettleMs);
  CloseHandle(process.hThread);
  if (g_server) CloseHandle(g_server);  // the previous server, which has exited
  g_server_thread = process.dwThreadId;
  g_server = process.hProcess;
  return 0;
}

// Whether the last server started has ended. Waiting on the process rather than comparing its
// exit code with STILL_ACTIVE also sees a server that ended with code 259.
bool server_ended() { return WaitForSingleObject(g_server, 0) != WAIT_TIMEOUT; }

// Starts the server and restarts it whenever it has ended. Returns only on failure:
// ERROR_BAD_PATHNAME when this program's path is too long, 33 when the server cannot start.
DWORD watch_server() {
  std::string path;
  DWORD result = module_path(path, 260);
  if (result != ERROR_SUCCESS) return result;
  size_t cut = path.rfind('\\');
  if (cut == std::string::npos) return ERROR_BAD_PATHNAME;
  std::string command_line = "\"";
  command_line.append(path, 0, cut).append("\\").append(kServerExe).append("\" ");
  command_line.append(kServerArgs);
  {
    Lock lock(g_server_lock);
    if (!g_stopping && start_server(command_line) != 0) return kServerNotStarted;
  }
  for (;;) {
    Sleep(kWatchMs);
    Lock lock(g_server_lock);
    if (g_stopping) break;
    if (server_ended() && start_server(command_line) != 0) return kServerNotStarted;
  }
  // The service is stopping: its final report ends the process while this thread waits here.
  for (;;) Sleep(INFINITE);
}

void stop_server() {
  HANDLE server;
  DWORD thread;
  {
    Lock lock(g_server_lock);
    g_stopping = true;
    server = g_server;
    thread = g_server_thread;
  }
  // Either may fail when the server has already gone; nothing is left to do then.
  PostThreadMessageA(thread, WM_QUIT, 0, 0);
  Sleep(kSettleMs);
  TerminateProcess(server, 0);
}

// ---- the service ----

BOOL report_status() { return qnst_svc::set_status(g_status_handle, &g_status); }

DWORD WINAPI control_handler(DWORD control, DWORD event_type, void* event_data, void*) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN: {
      void (*routine)() = control == SERVICE_CONTROL_SHUTDOWN && g_routines.shutdown
                              ? g_routines.shutdown
                              : g_routines.stop;
      g_status.dwCurrentState = SERVICE_STOP_PENDING;
      g_status.dwCheckPoint++;
      g_status.dwWaitHint = kWaitHint;
      report_status();
      routine();
      g_status.dwCurrentState = SERVICE_STOPPED;
      g_status.dwCheckPoint++;
      g_status.dwWin32ExitCode = ERROR_SUCCESS;
      report_status();
      return NO_ERROR;
    }
    case SERVICE_CONTROL_SESSIONCHANGE:
      if (g_routines.session_change) g_routines.session_change(event_type, event_data);
      return NO_ERROR;
    default:
      report_status();
      return NO_ERROR;
  }
}

void WINAPI service_main(DWORD, char**) {
  g_status_handle = RegisterServiceCtrlHandlerExA(kServiceName, control_handler, nullptr);
  if (!g_status_handle) return;
  g_status = {SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, kAcceptedControls, 0, 0, 0, kWaitHint};
  DWORD result = ERROR_SUCCESS;
  if (report_status()) result = g_routines.start();
  g_status.dwCurrentState = SERVICE_STOPPED;
  g_status.dwWin32ExitCode = result;
  g_status.dwCheckPoint++;
  report_status();
}

}  // namespace

int main(int argc, char** argv) {
  InitializeCriticalSection(&g_server_lock);
  if (argc == 2) {
    if (std::strcmp(argv[1], "-i") == 0) return static_cast<int>(install());
    if (std::strcmp(argv[1], "-u") == 0) return static_cast<int>(uninstall());
    return static_cast<int>(watch_server());
  }
  SERVICE_TABLE_ENTRYA table[] = {{const_cast<char*>(kServiceName), service_main},
                                  {nullptr, nullptr}};
  if (!StartServiceCtrlDispatcherA(table)) return static_cast<int>(GetLastError());
  return 0;
}
