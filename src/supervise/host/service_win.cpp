// The supervisor as a Windows service. --install registers the program with
// --service in front of the run's own arguments; the Service Control Manager
// then starts it so, and service_command hands the run to the dispatcher. The
// run is the console one: STOP, SHUTDOWN and PRESHUTDOWN reach the loop as a
// stop, PARAMCHANGE as a reload, and the loop's READY and STOPPING (notify)
// become the states the manager sees.
#include "host/service.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>

#include <cstdio>
#include <mutex>
#include <thread>

#include "child.h"
#include "loop/inbox.h"
#include "report/output.h"
#include "host/run_args.h"
#include "sources/sources.h"
#include "win_cmdline.h"

const char kServiceUsage[] =
    "       qor-ndi-supervise --install [--status HOST:PORT] [--password-file FILE] SOURCES.json\n"
    "       qor-ndi-supervise --uninstall | --reload\n";

static const char kName[] = "qor-ndi-supervise";
static const char kDisplayName[] = "qor-ndi-send supervisor";
static const char kDescription[] =
    "Keeps the NDI sources listed in its sources file up, one qor-ndi-send per source.";
static const char kAccount[] = "NT AUTHORITY\\LocalService";
static const int kExitUsage = 64;
static const int kExitFailed = 1;
static const DWORD kRestartAfterMs = 5000;   // the failure actions' wait after a crash
static const DWORD kStartHintMs = 10000;     // reading the file and starting the tools
// A stop takes at most the tools' 10 s grace, 5 s after a kill and 5 s for
// the last lines; checkpoints come every second meanwhile.
static const DWORD kStopHintMs = 3000;
static const DWORD kPreshutdownMs = 30000;

static std::mutex gLock;  // the status below and its reports
static SERVICE_STATUS_HANDLE gHandle = nullptr;
static SERVICE_STATUS gStatus;
static bool gStopping = false;
static std::vector<std::string> gArgs;
static RunFunction gRun = nullptr;

static void report_locked(DWORD state) {
  gStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  gStatus.dwCurrentState = state;
  gStatus.dwControlsAccepted =
      state == SERVICE_RUNNING
          ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_PRESHUTDOWN | SERVICE_ACCEPT_PARAMCHANGE
          : 0;
  if (state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING) {
    gStatus.dwCheckPoint++;
    gStatus.dwWaitHint = state == SERVICE_START_PENDING ? kStartHintMs : kStopHintMs;
  } else {
    gStatus.dwCheckPoint = 0;
    gStatus.dwWaitHint = 0;
  }
  SetServiceStatus(gHandle, &gStatus);
}

// Thread body while the stop runs: the manager sees it move on.
static void checkpoint_thread() {
  for (;;) {
    Sleep(1000);
    std::lock_guard<std::mutex> hold(gLock);
    if (gStatus.dwCurrentState != SERVICE_STOP_PENDING) return;
    report_locked(SERVICE_STOP_PENDING);
  }
}

void service_running() {
  std::lock_guard<std::mutex> hold(gLock);
  // Also after each reload: the state stays RUNNING, unless a stop has begun.
  if (gHandle && !gStopping) report_locked(SERVICE_RUNNING);
}

void service_stopping() {
  std::lock_guard<std::mutex> hold(gLock);
  if (!gHandle || gStopping) return;
  gStopping = true;
  gStatus.dwCheckPoint = 0;
  report_locked(SERVICE_STOP_PENDING);
  std::thread(checkpoint_thread).detach();
}

static DWORD WINAPI on_control(DWORD control, DWORD, void*, void*) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
    case SERVICE_CONTROL_PRESHUTDOWN:
      service_stopping();
      inbox_put(InboxItem());
      return NO_ERROR;
    case SERVICE_CONTROL_PARAMCHANGE: {
      InboxItem item;
      item.kind = InboxKind::kReload;
      inbox_put(std::move(item));
      return NO_ERROR;
    }
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
  }
  return ERROR_CALL_NOT_IMPLEMENTED;
}

// <ProgramData>\qor-ndi-send\, from the known-folder call: a service's
// %ProgramData% need not be the folder the system has (Wine gives another).
static bool data_folder(std::string* out) {
  PWSTR wide = nullptr;
  if (SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, &wide) != S_OK) return false;
  char path[MAX_PATH * 4];
  int n = WideCharToMultiByte(CP_ACP, 0, wide, -1, path, sizeof path, nullptr, nullptr);
  CoTaskMemFree(wide);
  if (n <= 0) return false;
  *out = std::string(path) + "\\qor-ndi-send\\";
  return true;
}

std::string service_data_folder() {
  std::string folder;
  return data_folder(&folder) ? folder : std::string();
}

static void WINAPI service_main(DWORD, LPSTR*) {
  {
    std::lock_guard<std::mutex> hold(gLock);
    gHandle = RegisterServiceCtrlHandlerExA(kName, on_control, nullptr);
    if (!gHandle) return;
    report_locked(SERVICE_START_PENDING);
  }
  // Without its files the service still runs; its lines then go nowhere.
  std::string folder, why;
  if (data_folder(&folder)) {
    CreateDirectoryA(folder.c_str(), nullptr);
    output_to_files(folder, &why);
  }
  int code = gRun(gArgs, true);
  std::lock_guard<std::mutex> hold(gLock);
  // A start that fails says why with the console's exit code; the failure
  // actions restart after a crash only, not after this.
  gStatus.dwWin32ExitCode = code == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
  gStatus.dwServiceSpecificExitCode = (DWORD)code;
  report_locked(SERVICE_STOPPED);
}

static std::string error_text(DWORD error) { return child_error_text((int)error); }

static void warn(const std::string& what, DWORD error) {
  say("warning: " + what + ": " + error_text(error));
}

static SC_HANDLE open_manager(DWORD access, int* code) {
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, access);
  if (manager) return manager;
  DWORD error = GetLastError();
  say(error == ERROR_ACCESS_DENIED ? std::string("run this as an administrator (the Service Control Manager "
                                                 "refused access)")
                                   : "cannot reach the Service Control Manager: " + error_text(error));
  *code = kExitFailed;
  return nullptr;
}

// Read and write for the service's account on the folder and what it will hold.
static bool grant_folder(const std::string& folder, std::string* why) {
  if (!CreateDirectoryA(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
    *why = "cannot make " + folder + ": " + error_text(GetLastError());
    return false;
  }
  BYTE sid[SECURITY_MAX_SID_SIZE];
  DWORD sid_size = sizeof sid;
  PACL old_acl = nullptr, new_acl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  DWORD error = CreateWellKnownSid(WinLocalServiceSid, nullptr, sid, &sid_size) ? ERROR_SUCCESS : GetLastError();
  if (error == ERROR_SUCCESS) {
    error = GetNamedSecurityInfoA(folder.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                  &old_acl, nullptr, &descriptor);
  }
  if (error == ERROR_SUCCESS) {
    EXPLICIT_ACCESSA access;
    memset(&access, 0, sizeof access);
    access.grfAccessPermissions = FILE_GENERIC_READ | FILE_GENERIC_WRITE | FILE_GENERIC_EXECUTE | DELETE;
    access.grfAccessMode = GRANT_ACCESS;
    access.grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
    access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    access.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    access.Trustee.ptstrName = (LPSTR)sid;
    error = SetEntriesInAclA(1, &access, old_acl, &new_acl);
  }
  if (error == ERROR_SUCCESS) {
    error = SetNamedSecurityInfoA((LPSTR)folder.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                  nullptr, new_acl, nullptr);
  }
  if (new_acl) LocalFree(new_acl);
  if (descriptor) LocalFree(descriptor);
  if (error != ERROR_SUCCESS) *why = "cannot give the service write access to " + folder + ": " + error_text(error);
  return error == ERROR_SUCCESS;
}

// An access list of its own, none inherited from the folder (ProgramData lets
// every user read what is in it).
static bool protect_file(const std::string& path, const char* sddl, std::string* why) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  PACL acl = nullptr;
  BOOL present = FALSE, defaulted = FALSE;
  DWORD error = ERROR_SUCCESS;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &descriptor, nullptr) ||
      !GetSecurityDescriptorDacl(descriptor, &present, &acl, &defaulted)) {
    error = GetLastError();
  } else {
    error = SetNamedSecurityInfoA((LPSTR)path.c_str(), SE_FILE_OBJECT,
                                  DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                  nullptr, acl, nullptr);
  }
  if (descriptor) LocalFree(descriptor);
  if (error != ERROR_SUCCESS) *why = "cannot set the access list of " + path + ": " + error_text(error);
  return error == ERROR_SUCCESS;
}

// The sources file in the service's folder, where the service may write it
// (from the status page) and nobody but the administrators may read it (it
// holds camera passwords). One named elsewhere is copied there; one already
// there from an earlier install is kept as sources.json.bak.
static bool place_sources(const std::string& given, const std::string& target, std::string* why) {
  if (_stricmp(given.c_str(), target.c_str()) != 0) {
    if (GetFileAttributesA(target.c_str()) != INVALID_FILE_ATTRIBUTES &&
        !MoveFileExA(target.c_str(), (target + ".bak").c_str(), MOVEFILE_REPLACE_EXISTING)) {
      *why = "cannot keep " + target + " as " + target + ".bak: " + error_text(GetLastError());
      return false;
    }
    if (!CopyFileA(given.c_str(), target.c_str(), TRUE)) {
      *why = "cannot copy " + given + " to " + target + ": " + error_text(GetLastError());
      return false;
    }
  }
  // Administrators and SYSTEM anything; the service's account reads it and
  // replaces it whole.
  return protect_file(target, "D:P(A;;FA;;;BA)(A;;FA;;;SY)(A;;FRFWSD;;;LS)", why);
}

static int install(const std::vector<std::string>& args) {
  RunArgs a;
  std::string why;
  if (!run_args_parse(args, &a, &why)) {
    if (!why.empty()) say(why);
    fputs(run_args_usage(), stderr);
    return kExitUsage;
  }
  std::vector<SourceEntry> sources;
  if (!sources_load(a.path, &sources, &why)) {
    say(why);
    return kExitUsage;
  }
  char given[MAX_PATH * 4], exe[MAX_PATH * 4];
  DWORD n = GetFullPathNameA(a.path.c_str(), sizeof given, given, nullptr);
  DWORD m = GetModuleFileNameA(nullptr, exe, sizeof exe);
  if (n == 0 || n >= sizeof given || m == 0 || m >= sizeof exe) {
    say("cannot tell the absolute path of " + a.path + " or of this program");
    return kExitFailed;
  }
  std::string folder;
  if (!data_folder(&folder)) {
    say("cannot find the ProgramData folder");
    return kExitFailed;
  }
  std::string sources_path = folder + "sources.json";
  std::vector<const char*> argv = {exe, "--service"};
  if (a.has_status) {
    argv.push_back("--status");
    argv.push_back(a.status.c_str());
  }
  char password[MAX_PATH * 4];
  std::string password_path = folder + "password";
  if (!a.password_file.empty()) {
    DWORD k = GetFullPathNameA(a.password_file.c_str(), sizeof password, password, nullptr);
    if (k == 0 || k >= sizeof password) {
      say("cannot tell the absolute path of " + a.password_file);
      return kExitFailed;
    }
    argv.push_back("--password-file");
    argv.push_back(password);
    password_path = password;
  }
  argv.push_back(sources_path.c_str());
  argv.push_back(nullptr);
  std::string line;
  if (!join_win_cmdline(argv.data(), &line)) {
    say("the service's command line would be too long");
    return kExitUsage;
  }
  int code = 0;
  SC_HANDLE manager = open_manager(SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE, &code);
  if (!manager) return code;
  SC_HANDLE service = CreateServiceA(manager, kName, kDisplayName, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                     SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, line.c_str(), nullptr, nullptr,
                                     nullptr, kAccount, "");
  if (!service) {
    DWORD error = GetLastError();
    say(error == ERROR_SERVICE_EXISTS ? std::string("the service ") + kName + " exists already (--uninstall it first)"
        : error == ERROR_ACCESS_DENIED ? std::string("run this as an administrator")
                                       : "cannot install the service: " + error_text(error));
    CloseServiceHandle(manager);
    return kExitFailed;
  }

  SERVICE_DESCRIPTIONA description = {(LPSTR)kDescription};
  if (!ChangeServiceConfig2A(service, SERVICE_CONFIG_DESCRIPTION, &description)) {
    warn("the service's description was not set", GetLastError());
  }
  // Started once the boot has settled, where the system allows it.
  SERVICE_DELAYED_AUTO_START_INFO delayed = {TRUE};
  if (!ChangeServiceConfig2A(service, SERVICE_CONFIG_DELAYED_AUTO_START_INFO, &delayed)) {
    warn("the service starts at boot without delay", GetLastError());
  }
  // Time for the tools' stop before the system shuts down.
  SERVICE_PRESHUTDOWN_INFO preshutdown = {kPreshutdownMs};
  if (!ChangeServiceConfig2A(service, SERVICE_CONFIG_PRESHUTDOWN_INFO, &preshutdown)) {
    warn("the service's time to stop at shutdown was not set", GetLastError());
  }
  // Restarted 5 s after a crash, again and again (the count of failures
  // starts anew after a day without one). A stop that reports its exit code
  // is no crash: a new service's flag for failures without a crash is off.
  SC_ACTION actions[3] = {{SC_ACTION_RESTART, kRestartAfterMs},
                          {SC_ACTION_RESTART, kRestartAfterMs},
                          {SC_ACTION_RESTART, kRestartAfterMs}};
  SERVICE_FAILURE_ACTIONSA failure;
  memset(&failure, 0, sizeof failure);
  failure.dwResetPeriod = 24 * 60 * 60;
  failure.cActions = 3;
  failure.lpsaActions = actions;
  bool ok = ChangeServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure);
  if (!ok) why = "cannot set the service's restart after a crash: " + error_text(GetLastError());
  if (ok) ok = grant_folder(folder.substr(0, folder.size() - 1), &why);
  if (ok) ok = place_sources(given, sources_path, &why);
  // A password set before the install: the service's account reads it.
  if (ok && GetFileAttributesA(password_path.c_str()) != INVALID_FILE_ATTRIBUTES) {
    ok = protect_file(password_path, "D:P(A;;FA;;;BA)(A;;FA;;;SY)(A;;FR;;;LS)", &why);
  }
  if (!ok) {
    say(why);
    DeleteService(service);
  } else {
    say(std::string("installed the service ") + kName + " for " + sources_path + "; its logs go to " + folder +
        "; start it with: net start " + kName);
  }
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return ok ? 0 : kExitFailed;
}

static SC_HANDLE open_service(DWORD access, SC_HANDLE* manager, int* code) {
  *manager = open_manager(SC_MANAGER_CONNECT, code);
  if (!*manager) return nullptr;
  SC_HANDLE service = OpenServiceA(*manager, kName, access);
  if (service) return service;
  DWORD error = GetLastError();
  say(error == ERROR_SERVICE_DOES_NOT_EXIST ? std::string("the service ") + kName + " is not installed"
      : error == ERROR_ACCESS_DENIED        ? std::string("run this as an administrator")
                                            : "cannot open the service: " + error_text(error));
  CloseServiceHandle(*manager);
  *code = kExitFailed;
  return nullptr;
}

static int uninstall() {
  SC_HANDLE manager;
  int code = 0;
  SC_HANDLE service = open_service(SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE, &manager, &code);
  if (!service) return code;
  SERVICE_STATUS status;
  if (ControlService(service, SERVICE_CONTROL_STOP, &status)) {
    // Its stop takes at most about 20 s (the tools' grace and kill).
    for (int i = 0; i < 240 && QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_STOPPED;
         ++i) {
      Sleep(250);
    }
    if (status.dwCurrentState != SERVICE_STOPPED) say("the service did not stop in 60 s; removing it all the same");
  }
  bool ok = DeleteService(service) != 0;
  if (!ok) say("cannot remove the service: " + error_text(GetLastError()));
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  if (ok) say(std::string("removed the service ") + kName + "; its folder in ProgramData stays");
  return ok ? 0 : kExitFailed;
}

static int reload() {
  SC_HANDLE manager;
  int code = 0;
  SC_HANDLE service = open_service(SERVICE_PAUSE_CONTINUE, &manager, &code);
  if (!service) return code;
  SERVICE_STATUS status;
  bool ok = ControlService(service, SERVICE_CONTROL_PARAMCHANGE, &status) != 0;
  if (!ok) {
    DWORD error = GetLastError();
    say(error == ERROR_SERVICE_NOT_ACTIVE ? std::string("the service ") + kName + " is not running"
                                          : "cannot ask the service to reload: " + error_text(error));
  }
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return ok ? 0 : kExitFailed;
}

bool service_command(const std::vector<std::string>& args, RunFunction run, int* code) {
  if (args.empty()) return false;
  const std::string& option = args[0];
  std::vector<std::string> rest(args.begin() + 1, args.end());
  if (option == "--install") {
    *code = install(rest);
  } else if ((option == "--uninstall" || option == "--reload") && !rest.empty()) {
    fputs(run_args_usage(), stderr);
    *code = kExitUsage;
  } else if (option == "--uninstall") {
    *code = uninstall();
  } else if (option == "--reload") {
    *code = reload();
  } else if (option == "--service") {
    gArgs = rest;
    gRun = run;
    SERVICE_TABLE_ENTRYA table[] = {{(LPSTR)kName, service_main}, {nullptr, nullptr}};
    *code = 0;
    if (!StartServiceCtrlDispatcherA(table)) {
      say("--service is for the Service Control Manager: " + error_text(GetLastError()));
      *code = kExitFailed;
    }
  } else {
    return false;
  }
  return true;
}
