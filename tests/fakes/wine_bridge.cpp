// wine_bridge: a Windows program that runs a native Linux program for a Windows
// caller under Wine.
//
// Under Wine, CreateProcessA of a Linux executable starts it but hands back no
// process handle, so the Windows build of the tool cannot wait for, kill or
// bind the Linux ffmpeg to its job. The tests therefore give the tool this
// bridge as its decoder (--ffmpeg wine_bridge.exe). The tool then holds a real
// Windows process (the bridge) and the bridge holds the Linux one:
//
//   argv[1..]  passed unchanged to the Linux program
//   exit code  the Linux program's exit status (255 when a signal ended it)
//   killed     the Linux program is killed with it (parent-death signal)
//
// Environment:
//   QOR_BRIDGE_TARGET  Linux path of the program to run (default /usr/bin/ffmpeg)
//   QOR_BRIDGE_LOG     Linux path; when set, the program's stdin is /dev/null and
//                      its stdout and stderr are appended to this file. Without
//                      it the program writes to the bridge's own Unix stdout and
//                      stderr, which Wine hands down from whoever started Wine.
//
// Exit codes of its own: 127 when not running under Wine or the program could
// not be started at all (the message goes to stderr).

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

// The command line arrives as quoted elements; keep "?" and "*" in URLs and
// filters literal rather than let the C runtime expand them as file patterns.
int _dowildcard = 0;

namespace {

// ntdll.dll's Wine extension: fork and exec a Unix program from a Windows
// thread; with wait != 0 it waits and returns the exit status (0..255), or an
// NTSTATUS (>= 0xC0000000) when the fork or exec failed.
typedef LONG(CDECL *wine_unix_spawnvp_fn)(char *const argv[], int wait);

const char *kDefaultTarget = "/usr/bin/ffmpeg";
const char *kSetpriv = "/usr/bin/setpriv";
const char *kShell = "/bin/sh";
const int kBridgeFailure = 127;

wine_unix_spawnvp_fn find_spawnvp()
{
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    if (!ntdll)
        return nullptr;
    FARPROC p = GetProcAddress(ntdll, "__wine_unix_spawnvp");
    // Through a generic function pointer so -Wcast-function-type stays quiet.
    return reinterpret_cast<wine_unix_spawnvp_fn>(reinterpret_cast<void (*)(void)>(p));
}

const char *env_or(const char *name, const char *fallback)
{
    const char *v = getenv(name);
    return (v && *v) ? v : fallback;
}

// setpriv arms PR_SET_PDEATHSIG before it execs the target (the setting
// survives exec), so the Linux program receives SIGKILL as soon as the bridge
// thread that forked it dies, whether the bridge was terminated by its caller,
// by a job closing, or its Wine process was killed outright.
std::vector<char *> build_unix_argv(int argc, char **argv, const char *target, const char *log)
{
    std::vector<char *> v;
    v.push_back(const_cast<char *>(kSetpriv));
    v.push_back(const_cast<char *>("--pdeathsig"));
    v.push_back(const_cast<char *>("KILL"));
    v.push_back(const_cast<char *>("--"));
    if (log) {
        // The path goes in as an argument, not into the script, so it needs no quoting.
        v.push_back(const_cast<char *>(kShell));
        v.push_back(const_cast<char *>("-c"));
        v.push_back(const_cast<char *>("log=$1; shift; exec \"$@\" </dev/null >>\"$log\" 2>&1"));
        v.push_back(const_cast<char *>("wine_bridge"));
        v.push_back(const_cast<char *>(log));
    }
    v.push_back(const_cast<char *>(target));
    for (int i = 1; i < argc; ++i)
        v.push_back(argv[i]);
    v.push_back(nullptr);
    return v;
}

} // namespace

int main(int argc, char **argv)
{
    wine_unix_spawnvp_fn spawnvp = find_spawnvp();
    if (!spawnvp) {
        fprintf(stderr, "wine_bridge: __wine_unix_spawnvp not found (not running under Wine?)\n");
        return kBridgeFailure;
    }

    const char *target = env_or("QOR_BRIDGE_TARGET", kDefaultTarget);
    const char *log = env_or("QOR_BRIDGE_LOG", nullptr);
    std::vector<char *> unix_argv = build_unix_argv(argc, argv, target, log);

    // Anything the bridge printed itself would sit in a buffer the Linux
    // program's output overtakes; nothing is pending, but keep the order sure.
    fflush(stdout);
    fflush(stderr);

    LONG status = spawnvp(unix_argv.data(), 1);
    if (status < 0 || status > 255) {
        fprintf(stderr, "wine_bridge: cannot start %s (status 0x%08lx)\n", kSetpriv,
                static_cast<unsigned long>(status));
        return kBridgeFailure;
    }
    return static_cast<int>(status);
}
