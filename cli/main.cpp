// velkdownloader-cli: the headless front end, a tool to script. It runs the same start-up,
// settings, lifecycle and engines as the window, signs in, adds the games named on its command line
// as the window would and downloads them one at a time in list order, showing each game's row as a
// line of text, or as JSON lines with --json. It also lists the games of the settings store and
// removes one as the window's row menu does.
//
//   velkdownloader-cli [--email E [--password-stdin | --password P]] [--connections N]
//                      [--folder DIR] [--verbose | --json] velkdownloader://GAME [...]
//   velkdownloader-cli list [--json]
//   velkdownloader-cli remove GAME [--delete-files]
//   velkdownloader-cli --version | --help | -h
//
// The password is asked for without echo, or read from standard input: a command line is open to
// every local user, so --password stays only for scripts that accept that.
//
// Exit codes, for every command: 0 done (every game completed and verified), 1 a failure (a game
// or the sign-in failed, no such game to remove, another instance holds the settings store), 2 a
// usage error, 130 interrupted (SIGINT/SIGTERM; the engines stop in the quit order and what is on
// disk stays for the next run). A download started while another instance runs hands its games
// over and ends; `list` then only reads the settings store, and `remove` refuses.
#include <signal.h>

#include "cli/CliRun.h"
#include "core/DebugPrintf.h"

int main(int argc, char** argv) {
    // Standard output may be a pipe whose reader goes away (a pager closed, "| head", a journal
    // restarting): a write to it then fails with EPIPE, which every writer here ignores, instead
    // of raising SIGPIPE and ending the program in the middle of a download. This front end
    // starts no other program, so no child inherits the ignored signal.
    signal(SIGPIPE, SIG_IGN);
    Logger();  // opened before start-up, as the program's first object
    return CliRun(argc, argv).Run();
}
