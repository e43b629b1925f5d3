#include "qnst_svc_calls.hpp"

#ifdef QNST_SVC_RECORD_CALLS
#include <cstdio>
#include <cstring>
#include <string>

#include "svc_files.hpp"
#endif

namespace qnst_svc {
namespace {

#ifdef QNST_SVC_RECORD_CALLS
std::string str(const char* s) {
  if (!s) return "(null)";
  std::string out = "\"";
  return out.append(s).append("\"");
}

// A double-NUL-terminated list, each NUL written as \0.
std::string multi_str(const char* s) {
  if (!s) return "(null)";
  std::string out = "\"";
  for (;;) {
    size_t n = strlen(s);
    out.append(s, n).append("\\0");
    if (n == 0) break;
    s += n + 1;
  }
  return out + "\"";
}

std::string num(DWORD v) { return std::to_string(v); }

std::string hex(DWORD v) {
  char buf[16];
  snprintf(buf, sizeof buf, "0x%lx", static_cast<unsigned long>(v));
  return buf;
}

// Keeps the caller's last-error value: a recorded call may be recorded after it was made.
void record(const std::string& what) {
  DWORD err = GetLastError();
  std::string dir = module_dir();
  if (!dir.empty()) {
    append_line(dir + "\\QuentaWayhouseSVC.calls", num(GetCurrentProcessId()) + " " + what);
  }
  SetLastError(err);
}
#define RECORD(line) record(line)
#else
#define RECORD(line) ((void)0)
#endif

}  // namespace

SC_HANDLE open_sc_manager(DWORD access) { return OpenSCManagerA(nullptr, nullptr, access); }

SC_HANDLE create_service(SC_HANDLE scm, const char* name, const char* display, DWORD access,
                         DWORD type, DWORD start, DWORD error_control, const char* binary_path,
                         const char* group, DWORD* tag, const char* dependencies,
                         const char* account, const char* password) {
  RECORD("CreateServiceA name=" + str(name) + " display=" + str(display) + " access=" +
         hex(access) + " type=" + hex(type) + " start=" + num(start) + " error=" +
         num(error_control) + " path=" + str(binary_path) + " group=" + str(group) +
         " tag=" + (tag ? "set" : "(null)") + " dependencies=" + multi_str(dependencies) +
         " account=" + str(account) + " password=" + str(password));
  return CreateServiceA(scm, name, display, access, type, start, error_control, binary_path,
                        group, tag, dependencies, account, password);
}

BOOL change_failure_actions(SC_HANDLE svc, SERVICE_FAILURE_ACTIONSA* fa) {
#ifdef QNST_SVC_RECORD_CALLS
  std::string line = "ChangeServiceConfig2A failure_actions reset=" + num(fa->dwResetPeriod) +
                     " reboot=" + str(fa->lpRebootMsg) + " command=" + str(fa->lpCommand) +
                     " actions=" + num(fa->cActions);
  for (DWORD i = 0; i < fa->cActions; i++) {
    line.append(" ").append(num(fa->lpsaActions[i].Type)).append("/");
    line.append(num(fa->lpsaActions[i].Delay));
  }
  RECORD(line);
#endif
  return ChangeServiceConfig2A(svc, SERVICE_CONFIG_FAILURE_ACTIONS, fa);
}

BOOL change_description(SC_HANDLE svc, SERVICE_DESCRIPTIONA* description) {
  RECORD("ChangeServiceConfig2A description=" + str(description->lpDescription));
  return ChangeServiceConfig2A(svc, SERVICE_CONFIG_DESCRIPTION, description);
}

BOOL start_service(SC_HANDLE svc, DWORD argc, const char** argv) {
  RECORD("StartServiceA argc=" + num(argc));
  return StartServiceA(svc, argc, argv);
}

SC_HANDLE open_service(SC_HANDLE scm, const char* name, DWORD access) {
  RECORD("OpenServiceA name=" + str(name) + " access=" + hex(access));
  return OpenServiceA(scm, name, access);
}

BOOL query_status(SC_HANDLE svc, SERVICE_STATUS* status) {
  BOOL ok = QueryServiceStatus(svc, status);
  RECORD("QueryServiceStatus -> " + (ok ? "state=" + num(status->dwCurrentState) : "failed"));
  return ok;
}

BOOL control_service(SC_HANDLE svc, DWORD control, SERVICE_STATUS* status) {
  RECORD("ControlService control=" + num(control));
  return ControlService(svc, control, status);
}

BOOL delete_service(SC_HANDLE svc) {
  RECORD("DeleteService");
  return DeleteService(svc);
}

BOOL set_status(SERVICE_STATUS_HANDLE handle, SERVICE_STATUS* s) {
  RECORD("SetServiceStatus type=" + hex(s->dwServiceType) + " state=" + num(s->dwCurrentState) +
         " accepted=" + hex(s->dwControlsAccepted) + " win32=" + num(s->dwWin32ExitCode) +
         " specific=" + num(s->dwServiceSpecificExitCode) + " checkpoint=" +
         num(s->dwCheckPoint) + " hint=" + num(s->dwWaitHint));
  return SetServiceStatus(handle, s);
}

}  // namespace qnst_svc
