// Test harness for the coordinator: starts a real dtcd on a socket and data
// directory of its own (so tests run in parallel), waits for its READY
// notification, stops or kills it, and runs dtcctl.
#pragma once

#include <sys/types.h>

#include <set>
#include <string>
#include <vector>

#include "contract/xa.h"

struct Daemon {
    pid_t pid = -1;           // the running dtcd, -1 when none
    std::string socket;       // its DTCD_SOCKET value
    std::string dataDir;      // its data directory
    std::string stderrPath;   // where its standard error goes
};

// A fresh abstract socket name and an empty temporary directory.
std::string uniqueSocketName();
std::string makeTempDir();
// Runs dtcd with the given arguments (after --data-dir DIR) and waits, up to
// ten seconds, for READY=1. False when it exits or never becomes ready.
bool startDaemon(Daemon* d, const std::vector<std::string>& extraArgs = {});
// startDaemon with the flush stand-in (FlushFault.cpp) preloaded: every
// fsync and fdatasync of that dtcd fails with EIO while the file `trigger`
// exists. False also when MORVALEN_BIN_DIR is not set.
bool startDaemonWithFlushFault(Daemon* d, const std::string& trigger);
// Waits (`seconds` at most) for a dtcd to exit by itself and reaps it;
// answers its exit code, -1 when a signal ended it, -2 while it still runs.
int daemonExitCode(Daemon* d, int seconds = 10);
// Runs dtcd and waits for it to exit; answers its exit code (stderr in *err),
// or -1 when it was still running after ten seconds (it is killed then).
int runDaemonToExit(const std::vector<std::string>& args, const std::string& socket, std::string* err);
// SIGTERM and wait; answers the exit status (as waitpid's WEXITSTATUS, -1 if signalled).
int stopDaemon(Daemon* d);
// SIGKILL and wait.
void killDaemon(Daemon* d);
// Runs dtcctl with the daemon's socket; answers the exit code, output in *out.
int runCtl(const Daemon& d, const std::vector<std::string>& args, std::string* out);
// Removes a daemon's temporary directory.
void removeDaemonFiles(const Daemon& d);
// Sets DTCD_SOCKET for this process (call before any thread uses the libraries).
void useDaemon(const Daemon& d);

// An XID with the given gtrid text, bqual "b" and format 42.
XID makeXid(const std::string& gtrid, const std::string& bqual = "b");
// The gtrids of every branch xa_recover lists for rmid (a whole scan), or
// one entry "<recover failed: CODE>" when a scan call fails.
std::set<std::string> recoverNames(int rmid);
// Starts, ends and prepares a new branch named by makeXid(gtrid); the first
// answer that is not XA_OK, or the prepare's.
int prepareNew(const std::string& gtrid, int rmid);
extern char kOpenString[];
