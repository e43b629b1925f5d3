// Tests of the service wrapper, run under Wine (or Windows) by wine.sh: svc_driver <case>.
//
// Each case copies the test build of QuentaWayhouseSVC.exe (and, where wanted, the stand-in
// server QuentaWayhouse.exe) from this program's directory into a fresh directory of its own
// under C:\qnst-svc, runs it, and checks the result through the service control manager, the
// server's start log, and the wrapper's record of its own service manager calls (for what the
// service manager does not keep). Waits poll with generous time limits; nothing depends on the
// machine's speed. Exit code 0 when every check passed.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "svc_files.hpp"

namespace {

constexpr char kServiceName[] = "Morvik Quenta Wayhouse";
constexpr char kDescription[] = "Starts the Morvik Quenta Wayhouse.";
constexpr char kWrapper[] = "QuentaWayhouseSVC.exe";
constexpr char kServer[] = "QuentaWayhouse.exe";
constexpr char kRoot[] = "C:\\qnst-svc";
constexpr DWORD kPatienceMs = 90000;  // longest wait for anything; Wine on a busy machine is slow

int g_failures;

bool check(bool ok, const char* what, int line) {
  if (!ok) {
    std::printf("FAILED line %d: %s\n", line, what);
    g_failures++;
  }
  return ok;
}

template <typename A, typename B>
bool check_eq(const A& a, const B& b, const char* as, const char* bs, int line) {
  if (a == b) return true;
  std::ostringstream out;
  out << as << " == " << bs << "\n    got:      " << a << "\n    expected: " << b;
  return check(false, out.str().c_str(), line);
}

#define CHECK(cond) check((cond), #cond, __LINE__)
#define CHECK_EQ(a, b) check_eq((a), (b), #a, #b, __LINE__)

void note(const std::string& text) { std::printf("note: %s\n", text.c_str()); }

bool wait_until(const char* what, const std::function<bool()>& done, DWORD ms = kPatienceMs) {
  for (DWORD start = GetTickCount(); !done();) {
    if (GetTickCount() - start > ms) {
      check(false, (std::string("timed out waiting for ") + what).c_str(), 0);
      return false;
    }
    Sleep(50);
  }
  return true;
}

struct HandleCloser {
  void operator()(HANDLE h) const { CloseHandle(h); }
};
using Handle = std::unique_ptr<void, HandleCloser>;

struct ScCloser {
  void operator()(SC_HANDLE h) const { CloseServiceHandle(h); }
};
using ScHandle = std::unique_ptr<std::remove_pointer_t<SC_HANDLE>, ScCloser>;

// ---- files and processes ----

std::string quoted(const std::string& s) { return "\"" + s + "\""; }

std::string multi_str(const char* s) {
  std::string out;
  for (; s && *s; s += std::strlen(s) + 1) out += std::string(s) + "\\0";
  return out + "\\0";
}

// A REG_MULTI_SZ value of the service's registry key, as multi_str writes it ("(none)" when
// missing or of another type).
std::string registry_multi_str(const char* value) {
  const std::string key = std::string("SYSTEM\\CurrentControlSet\\Services\\") + kServiceName;
  char buf[1024] = {};
  DWORD size = sizeof buf - 2;
  DWORD type = 0;
  if (RegGetValueA(HKEY_LOCAL_MACHINE, key.c_str(), value, RRF_RT_ANY, &type, buf, &size) !=
          ERROR_SUCCESS ||
      type != REG_MULTI_SZ) {
    return "(none)";
  }
  return multi_str(buf);
}

std::vector<std::string> read_lines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool make_dirs(const std::string& dir) {
  for (size_t pos = std::strlen("C:\\"); pos != std::string::npos;) {
    pos = dir.find('\\', pos + 1);
    std::string part = dir.substr(0, pos);
    if (!CreateDirectoryA(part.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
      return false;
    }
  }
  return true;
}

// A fresh directory holding the wrapper and, when `server` is set, the stand-in server.
std::string prepare(const std::string& dir, bool server, const char* server_mode = nullptr) {
  const std::string bin = qnst_svc::module_dir();
  CHECK(make_dirs(dir));
  for (const char* name : {"QuentaWayhouse.log", "QuentaWayhouseSVC.calls", "QuentaWayhouse.mode",
                           kServer}) {
    DeleteFileA((dir + "\\" + name).c_str());
  }
  CHECK(CopyFileA((bin + "\\" + kWrapper).c_str(), (dir + "\\" + kWrapper).c_str(), FALSE));
  if (server) {
    CHECK(CopyFileA((bin + "\\" + kServer).c_str(), (dir + "\\" + kServer).c_str(), FALSE));
  }
  if (server_mode) std::ofstream(dir + "\\QuentaWayhouse.mode") << server_mode << "\n";
  return dir;
}

Handle spawn(const std::string& command_line) {
  std::string cmd = command_line;
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process)) {
    std::printf("cannot start %s: error %lu\n", command_line.c_str(), GetLastError());
    return nullptr;
  }
  CloseHandle(process.hThread);
  return Handle(process.hProcess);
}

// Runs the wrapper in `dir` with `args` and returns its exit code (~0u when it did not end).
DWORD run_wrapper(const std::string& dir, const std::string& args) {
  Handle process = spawn(quoted(dir + "\\" + kWrapper) + " " + args);
  if (!process) return ~0u;
  DWORD code = ~0u;
  if (WaitForSingleObject(process.get(), kPatienceMs) != WAIT_OBJECT_0) {
    std::printf("%s %s did not end\n", kWrapper, args.c_str());
    TerminateProcess(process.get(), 1);
  } else {
    GetExitCodeProcess(process.get(), &code);
  }
  return code;
}

Handle open_process(DWORD pid) {
  return Handle(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE,
                            FALSE, pid));
}

bool process_ended(DWORD pid, DWORD ms = kPatienceMs) {
  Handle p = open_process(pid);
  return !p || WaitForSingleObject(p.get(), ms) == WAIT_OBJECT_0;
}

// ---- the stand-in server's log ----

struct ServerStart {
  DWORD pid = 0;
  DWORD thread = 0;
  std::string command_line;
};

std::vector<ServerStart> server_starts(const std::string& dir) {
  std::vector<ServerStart> starts;
  for (const std::string& line : read_lines(dir + "\\QuentaWayhouse.log")) {
    std::istringstream in(line);
    std::string word;
    ServerStart s;
    if (!(in >> word >> s.pid >> s.thread) || word != "start") continue;
    in.get();  // the separating space
    std::getline(in, s.command_line);
    starts.push_back(s);
  }
  return starts;
}

bool server_logged(const std::string& dir, const std::string& line) {
  for (const std::string& l : read_lines(dir + "\\QuentaWayhouse.log")) {
    if (l == line) return true;
  }
  return false;
}

ServerStart wait_for_start(const std::string& dir, size_t n) {
  wait_until("a server start", [&] { return server_starts(dir).size() >= n; });
  std::vector<ServerStart> starts = server_starts(dir);
  return starts.size() >= n ? starts[n - 1] : ServerStart{};
}

void end_servers(const std::string& dir) {
  for (const ServerStart& s : server_starts(dir)) {
    if (Handle p = open_process(s.pid)) TerminateProcess(p.get(), 9);
  }
}

// ---- the wrapper's record of its service manager calls ----

// The calls made by process `pid` (all processes when 0), without the process id.
std::vector<std::string> calls(const std::string& dir, DWORD pid = 0) {
  std::vector<std::string> out;
  for (const std::string& line : read_lines(dir + "\\QuentaWayhouseSVC.calls")) {
    size_t space = line.find(' ');
    if (space == std::string::npos) continue;
    if (pid == 0 || std::stoul(line.substr(0, space)) == pid) out.push_back(line.substr(space + 1));
  }
  return out;
}

std::vector<std::string> calls_starting(const std::string& dir, const std::string& prefix,
                                        DWORD pid = 0) {
  std::vector<std::string> out;
  for (const std::string& c : calls(dir, pid)) {
    if (c.rfind(prefix, 0) == 0) out.push_back(c);
  }
  return out;
}

std::string joined(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& l : lines) out += "\n      " + l;
  return out;
}

// ---- the service manager ----

ScHandle open_scm() { return ScHandle(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)); }

// The service's status; false (with the error in `error`) when it cannot be opened or queried.
bool query_service(SERVICE_STATUS_PROCESS& status, DWORD* error = nullptr) {
  ScHandle scm = open_scm();
  ScHandle svc(scm ? OpenServiceA(scm.get(), kServiceName, SERVICE_QUERY_STATUS) : nullptr);
  DWORD needed = 0;
  bool ok = svc && QueryServiceStatusEx(svc.get(), SC_STATUS_PROCESS_INFO,
                                        reinterpret_cast<BYTE*>(&status), sizeof status, &needed);
  if (error) *error = ok ? 0 : GetLastError();
  return ok;
}

bool service_gone() {
  SERVICE_STATUS_PROCESS status;
  DWORD error = 0;
  return !query_service(status, &error) && error == ERROR_SERVICE_DOES_NOT_EXIST;
}

SERVICE_STATUS_PROCESS wait_for_state(DWORD state) {
  SERVICE_STATUS_PROCESS status = {};
  wait_until(state == SERVICE_RUNNING ? "the service to run" : "the service to stop",
             [&] { return query_service(status) && status.dwCurrentState == state; });
  return status;
}

// Leaves no service behind: stops it if it runs, deletes it, and waits until it is gone.
void remove_service() {
  if (service_gone()) return;
  ScHandle scm = open_scm();
  ScHandle svc(OpenServiceA(scm.get(), kServiceName, DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS));
  if (svc) {
    SERVICE_STATUS status;
    ControlService(svc.get(), SERVICE_CONTROL_STOP, &status);
    wait_until("the old service to stop", [&] {
      return QueryServiceStatus(svc.get(), &status) && status.dwCurrentState == SERVICE_STOPPED;
    });
    DeleteService(svc.get());
  }
  svc.reset();
  wait_until("the old service to go", service_gone);
}

std::string str(const char* s) { return s ? s : "(null)"; }

// ---- the cases ----

// -i creates the service with its settings, starts it, and the service starts the server;
// a second -i fails with ERROR_SERVICE_EXISTS.
void case_install() {
  remove_service();
  const std::string dir = prepare(std::string(kRoot) + "\\install", true);
  const std::string binary_path = quoted(dir + "\\" + kWrapper);
  CHECK_EQ(run_wrapper(dir, "-i"), 0ul);

  ScHandle scm = open_scm();
  ScHandle svc(OpenServiceA(scm.get(), kServiceName, SERVICE_QUERY_CONFIG));
  if (!CHECK(svc != nullptr)) return;
  std::vector<BYTE> buf(8192);
  DWORD needed = 0;
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buf.data());
  if (CHECK(QueryServiceConfigA(svc.get(), config, buf.size(), &needed))) {
    CHECK_EQ(config->dwServiceType, DWORD{SERVICE_WIN32_OWN_PROCESS});
    CHECK_EQ(config->dwStartType, DWORD{SERVICE_AUTO_START});
    CHECK_EQ(config->dwErrorControl, DWORD{SERVICE_ERROR_NORMAL});
    CHECK_EQ(str(config->lpBinaryPathName), binary_path);
    CHECK_EQ(str(config->lpLoadOrderGroup), "");
    CHECK_EQ(config->dwTagId, 0ul);
    // Wine 8 keeps the dependencies (below) but reports none through the ANSI call.
    if (config->lpDependencies && *config->lpDependencies) {
      CHECK_EQ(multi_str(config->lpDependencies), "Tcpip\\0\\0");
    } else {
      note("the service manager reports no dependencies; checked in the service's key only");
    }
    CHECK_EQ(str(config->lpServiceStartName), "LocalSystem");
    CHECK_EQ(str(config->lpDisplayName), kServiceName);
  }
  CHECK_EQ(registry_multi_str("DependOnService"), "Tcpip\\0\\0");
  auto* description = reinterpret_cast<SERVICE_DESCRIPTIONA*>(buf.data());
  if (CHECK(QueryServiceConfig2A(svc.get(), SERVICE_CONFIG_DESCRIPTION, buf.data(), buf.size(),
                                 &needed))) {
    CHECK_EQ(str(description->lpDescription), kDescription);
  }
  // Failure actions: checked in the service manager when it keeps them (Windows does, Wine 8
  // does not), and always in what the wrapper passed.
  auto* failure = reinterpret_cast<SERVICE_FAILURE_ACTIONSA*>(buf.data());
  if (QueryServiceConfig2A(svc.get(), SERVICE_CONFIG_FAILURE_ACTIONS, buf.data(), buf.size(),
                           &needed)) {
    CHECK_EQ(failure->dwResetPeriod, DWORD{INFINITE});
    if (CHECK_EQ(failure->cActions, 1ul)) {
      CHECK_EQ(failure->lpsaActions[0].Type, SC_ACTION_RESTART);
      CHECK_EQ(failure->lpsaActions[0].Delay, 0ul);
    }
  } else {
    note("the service manager does not report failure actions (error " +
         std::to_string(GetLastError()) + "); checked through the wrapper's record only");
  }
  CHECK_EQ(joined(calls_starting(dir, "CreateServiceA")),
           joined({"CreateServiceA name=\"Morvik Quenta Wayhouse\" "
                   "display=\"Morvik Quenta Wayhouse\" access=0xf01ff type=0x10 start=2 "
                   "error=1 path=" + quoted(binary_path) + " group=(null) tag=(null) "
                   "dependencies=\"Tcpip\\0\\0\" account=(null) password=(null)"}));
  CHECK_EQ(joined(calls_starting(dir, "ChangeServiceConfig2A")),
           joined({"ChangeServiceConfig2A failure_actions reset=4294967295 reboot=(null) "
                   "command=(null) actions=1 1/0",
                   "ChangeServiceConfig2A description=\"Starts the Morvik Quenta Wayhouse.\""}));
  CHECK_EQ(joined(calls_starting(dir, "StartServiceA")), joined({"StartServiceA argc=0"}));

  SERVICE_STATUS_PROCESS status = wait_for_state(SERVICE_RUNNING);
  CHECK_EQ(status.dwServiceType, DWORD{SERVICE_WIN32_OWN_PROCESS});
  CHECK_EQ(status.dwControlsAccepted, 0x85ul);
  CHECK_EQ(status.dwWin32ExitCode, 0ul);
  CHECK_EQ(joined(calls_starting(dir, "SetServiceStatus", status.dwProcessId)),
           joined({"SetServiceStatus type=0x10 state=4 accepted=0x85 win32=0 specific=0 "
                   "checkpoint=0 hint=120000"}));
  ServerStart server = wait_for_start(dir, 1);
  CHECK_EQ(server.command_line, quoted(dir + "\\" + kServer) + " ");

  // Any other control (interrogate here) repeats the current status.
  {
    ScHandle control(OpenServiceA(scm.get(), kServiceName, SERVICE_INTERROGATE));
    SERVICE_STATUS ignored;
    CHECK(ControlService(control.get(), SERVICE_CONTROL_INTERROGATE, &ignored));
    std::vector<std::string> reports = calls_starting(dir, "SetServiceStatus", status.dwProcessId);
    CHECK_EQ(reports.size(), 2u);
    CHECK(reports.size() == 2 && reports[0] == reports[1]);
  }

  CHECK_EQ(run_wrapper(dir, "-i"), DWORD{ERROR_SERVICE_EXISTS});
  CHECK(query_service(status) && status.dwCurrentState == SERVICE_RUNNING);
  CHECK_EQ(run_wrapper(dir, "-u"), 0ul);
  end_servers(dir);
}

// The watchdog restarts the server whenever it has ended, whatever its exit code (259 is the
// value that GetExitCodeProcess reports for a process still running).
void case_restart() {
  remove_service();
  const std::string dir = prepare(std::string(kRoot) + "\\restart", true);
  CHECK_EQ(run_wrapper(dir, "-i"), 0ul);
  ServerStart server = wait_for_start(dir, 1);
  size_t n = 1;
  for (DWORD code : {0ul, 259ul, 1ul}) {
    CHECK(PostThreadMessageA(server.thread, WM_APP, code, 0));
    CHECK(process_ended(server.pid));
    ServerStart next = wait_for_start(dir, ++n);
    if (!CHECK(next.pid != 0 && next.pid != server.pid)) break;
    CHECK(server_logged(dir, "exit " + std::to_string(server.pid) + " " + std::to_string(code)));
    CHECK_EQ(next.command_line, server.command_line);
    server = next;
  }
  SERVICE_STATUS_PROCESS status;
  CHECK(query_service(status) && status.dwCurrentState == SERVICE_RUNNING);
  CHECK_EQ(run_wrapper(dir, "-u"), 0ul);
  end_servers(dir);
}

// Stop through the service manager: WM_QUIT to the server, the server ended, the stopped
// report, and no restart while stopping, whether the server quits on WM_QUIT or ignores it.
void case_stop() {
  for (const char* mode : {"ignore-quit", "exit-on-quit"}) {
    std::printf("server mode %s\n", mode);
    remove_service();
    const std::string dir = prepare(std::string(kRoot) + "\\stop-" + mode, true, mode);
    CHECK_EQ(run_wrapper(dir, "-i"), 0ul);
    const DWORD service_pid = wait_for_state(SERVICE_RUNNING).dwProcessId;
    ServerStart server = wait_for_start(dir, 1);
    Handle server_process = open_process(server.pid);
    Handle service_process = open_process(service_pid);
    if (!CHECK(server_process && service_process)) return;

    {
      ScHandle scm = open_scm();
      ScHandle svc(OpenServiceA(scm.get(), kServiceName, SERVICE_STOP));
      SERVICE_STATUS ignored;
      CHECK(ControlService(svc.get(), SERVICE_CONTROL_STOP, &ignored));
    }
    SERVICE_STATUS_PROCESS status = wait_for_state(SERVICE_STOPPED);
    CHECK_EQ(status.dwWin32ExitCode, 0ul);
    CHECK(WaitForSingleObject(service_process.get(), kPatienceMs) == WAIT_OBJECT_0);
    CHECK(WaitForSingleObject(server_process.get(), kPatienceMs) == WAIT_OBJECT_0);
    DWORD code = ~0u;
    GetExitCodeProcess(server_process.get(), &code);
    CHECK_EQ(code, 0ul);
    CHECK(server_logged(dir, "quit " + std::to_string(server.pid)));
    CHECK_EQ(server_starts(dir).size(), 1u);
    CHECK_EQ(joined(calls_starting(dir, "SetServiceStatus", service_pid)),
             joined({"SetServiceStatus type=0x10 state=4 accepted=0x85 win32=0 specific=0 "
                     "checkpoint=0 hint=120000",
                     "SetServiceStatus type=0x10 state=3 accepted=0x85 win32=0 specific=0 "
                     "checkpoint=1 hint=120000",
                     "SetServiceStatus type=0x10 state=1 accepted=0x85 win32=0 specific=0 "
                     "checkpoint=2 hint=120000"}));

    // A stopped service is deleted without another stop request.
    std::vector<std::string> before = calls(dir);
    CHECK_EQ(run_wrapper(dir, "-u"), 0ul);
    std::vector<std::string> after = calls(dir);
    after.erase(after.begin(), after.begin() + static_cast<long>(before.size()));
    CHECK_EQ(joined(after),
             joined({"OpenServiceA name=\"Morvik Quenta Wayhouse\" access=0x10024",
                     "QueryServiceStatus -> state=1", "DeleteService"}));
    wait_until("the service to go", service_gone);
    end_servers(dir);
  }
}

// -u stops a running service (and so its server) and deletes it; -u of a missing service
// returns the service manager's error.
void case_uninstall() {
  remove_service();
  const std::string dir = prepare(std::string(kRoot) + "\\uninstall", true);
  CHECK_EQ(run_wrapper(dir, "-u"), DWORD{ERROR_SERVICE_DOES_NOT_EXIST});
  CHECK_EQ(run_wrapper(dir, "-i"), 0ul);
  const DWORD service_pid = wait_for_state(SERVICE_RUNNING).dwProcessId;
  ServerStart server = wait_for_start(dir, 1);
  Handle service_process = open_process(service_pid);

  std::vector<std::string> before = calls(dir);
  CHECK_EQ(run_wrapper(dir, "-u"), 0ul);
  wait_until("the service to go", service_gone);
  CHECK(process_ended(server.pid));
  CHECK(!service_process || WaitForSingleObject(service_process.get(), kPatienceMs) == WAIT_OBJECT_0);
  std::vector<std::string> after = calls(dir);
  after.erase(after.begin(), after.begin() + static_cast<long>(before.size()));
  // The service's own reports interleave with the uninstaller's calls; keep the latter.
  std::vector<std::string> uninstaller;
  for (const std::string& c : after) {
    if (c.rfind("SetServiceStatus", 0) != 0) uninstaller.push_back(c);
  }
  // The stop request is answered once the service has stopped, or earlier with stop-pending.
  if (uninstaller.size() > 3 && uninstaller[3] == "QueryServiceStatus -> state=3") {
    uninstaller.resize(3);
    uninstaller.push_back("DeleteService");
  }
  CHECK_EQ(joined(uninstaller),
           joined({"OpenServiceA name=\"Morvik Quenta Wayhouse\" access=0x10024",
                   "QueryServiceStatus -> state=4", "ControlService control=1",
                   "DeleteService"}));
  end_servers(dir);
}

// A server that cannot be started stops the service with exit code 33.
void case_no_server() {
  remove_service();
  const std::string dir = prepare(std::string(kRoot) + "\\no-server", false);
  CHECK_EQ(run_wrapper(dir, "-i"), 0ul);
  SERVICE_STATUS_PROCESS status = wait_for_state(SERVICE_STOPPED);
  CHECK_EQ(status.dwWin32ExitCode, 33ul);
  std::vector<std::string> reports = calls_starting(dir, "SetServiceStatus");
  CHECK_EQ(joined(reports),
           joined({"SetServiceStatus type=0x10 state=4 accepted=0x85 win32=0 specific=0 "
                   "checkpoint=0 hint=120000",
                   "SetServiceStatus type=0x10 state=1 accepted=0x85 win32=33 specific=0 "
                   "checkpoint=1 hint=120000"}));
  CHECK_EQ(run_wrapper(dir, "-u"), 0ul);
  wait_until("the service to go", service_gone);
}

// Any other single argument runs the watchdog in the console, without the service manager;
// no argument or several hand the program to the service dispatcher, which refuses a console.
void case_console() {
  remove_service();
  const std::string dir = prepare(std::string(kRoot) + "\\console", true);
  Handle wrapper = spawn(quoted(dir + "\\" + kWrapper) + " -x");
  if (!CHECK(wrapper != nullptr)) return;
  ServerStart server = wait_for_start(dir, 1);
  CHECK_EQ(server.command_line, quoted(dir + "\\" + kServer) + " ");
  CHECK(PostThreadMessageA(server.thread, WM_APP, 0, 0));
  ServerStart next = wait_for_start(dir, 2);
  CHECK(next.pid != server.pid);
  CHECK(WaitForSingleObject(wrapper.get(), 0) == WAIT_TIMEOUT);
  CHECK(service_gone());
  CHECK(calls(dir).empty());
  TerminateProcess(wrapper.get(), 0);
  end_servers(dir);

  const std::string bare = prepare(std::string(kRoot) + "\\console-no-server", false);
  CHECK_EQ(run_wrapper(bare, "-x"), 33ul);
  CHECK_EQ(run_wrapper(bare, "-x -y"), DWORD{ERROR_FAILED_SERVICE_CONTROLLER_CONNECT});
  CHECK(server_starts(bare).empty());
}

// The program as shipped (30 s watchdog period, no call record) runs too.
void case_shipped() {
  remove_service();
  const std::string dir = std::string(kRoot) + "\\shipped";
  CHECK(make_dirs(dir));
  const std::string shipped = qnst_svc::module_dir() + "\\..\\" + kWrapper;
  CHECK(CopyFileA(shipped.c_str(), (dir + "\\" + kWrapper).c_str(), FALSE));
  CHECK_EQ(run_wrapper(dir, "-x"), 33ul);
  CHECK_EQ(run_wrapper(dir, "-u"), DWORD{ERROR_SERVICE_DOES_NOT_EXIST});
  CHECK(calls(dir).empty());
}

// After the long-path runs of wine.sh: none of them installed the service.
void case_absent() { CHECK(service_gone()); }

struct NamedCase {
  const char* name;
  void (*run)();
};

const NamedCase kCases[] = {
    {"install", case_install},     {"restart", case_restart},   {"stop", case_stop},
    {"uninstall", case_uninstall}, {"no_server", case_no_server}, {"console", case_console},
    {"shipped", case_shipped},     {"absent", case_absent},
};

}  // namespace

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IONBF, 0);
  if (argc != 2) {
    std::printf("usage: svc_driver <case>; cases:");
    for (const NamedCase& c : kCases) std::printf(" %s", c.name);
    std::printf("\n");
    return 2;
  }
  for (const NamedCase& c : kCases) {
    if (std::strcmp(argv[1], c.name) != 0) continue;
    c.run();
    std::printf("%s: %s\n", c.name, g_failures ? "FAILED" : "passed");
    return g_failures ? 1 : 0;
  }
  std::printf("unknown case %s\n", argv[1]);
  return 2;
}
