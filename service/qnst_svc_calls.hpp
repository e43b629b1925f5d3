// The service manager calls of the service wrapper, each through one function of this seam.
//
// In the shipped program every function is the plain Windows call. A build with
// QNST_SVC_RECORD_CALLS also appends each call and its arguments as one line to
// "QuentaWayhouseSVC.calls" in the program's directory before making it, so that tests can
// check what the wrapper asked of a service manager that does not keep everything it is told.
// Line format: "<pid> <Call> key=value ...", strings in double quotes or (null), numbers as
// the Windows headers spell them (hex for masks, decimal otherwise).
#pragma once

#include <windows.h>

namespace qnst_svc {

SC_HANDLE open_sc_manager(DWORD access);
SC_HANDLE create_service(SC_HANDLE scm, const char* name, const char* display, DWORD access,
                         DWORD type, DWORD start, DWORD error_control, const char* binary_path,
                         const char* group, DWORD* tag, const char* dependencies,
                         const char* account, const char* password);
BOOL change_failure_actions(SC_HANDLE svc, SERVICE_FAILURE_ACTIONSA* actions);
BOOL change_description(SC_HANDLE svc, SERVICE_DESCRIPTIONA* description);
BOOL start_service(SC_HANDLE svc, DWORD argc, const char** argv);
SC_HANDLE open_service(SC_HANDLE scm, const char* name, DWORD access);
BOOL query_status(SC_HANDLE svc, SERVICE_STATUS* status);
BOOL control_service(SC_HANDLE svc, DWORD control, SERVICE_STATUS* status);
BOOL delete_service(SC_HANDLE svc);
BOOL set_status(SERVICE_STATUS_HANDLE handle, SERVICE_STATUS* status);

}  // namespace qnst_svc
