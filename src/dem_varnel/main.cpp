// dem_varnel: the entry point. Without arguments the four phases run once, in this
// order, on the run's files; a failure in any of them ends the run with its message and
// status 1, and the files' objects remove what the run created. The arguments --help
// and --version print instead, and any other is refused.
#include "dem_varnel/command_line.h"
#include "dem_varnel/dialogue.h"
#include "dem_varnel/phases.h"
#include "dem_varnel/run_guard.h"

int main(int argc, char** argv) {
    int status = 0;
    if (!dialogue_wanted(argc, argv, status)) return status;
    return run_guarded([] {
        RunFiles files;
        opening(files);
        parameters(files);
        treatment(files);
        save(files);
    });
}
