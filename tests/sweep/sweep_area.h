#pragma once
// The sweep's private corner of the disk and the checks every run must pass.
// Each run gets its own TEMP inside the area, so that whatever the launcher
// writes is visible in one snapshot and other tests running at the same
// time cannot disturb it.
#include <map>
#include <string>
#include <vector>

#include "support/files.h"
#include "support/process.h"

struct sweep_area {
    std::wstring root;      // scratch directory holding all of the below
    std::wstring temp;      // TEMP and TMP of every launcher run
    std::wstring work;      // working directory of every launcher run
    std::wstring bin;       // launchers
    std::wstring sentinel;  // files nobody may touch
};

sweep_area make_sweep_area(const std::wstring& hint);

// A copy of the launcher stub at `exe` with `image` as its payload. The
// resource is stored from this process: going through the packaging tool
// would cost a Wine start per image, and the corruption loop has hundreds.
bool attach_in_process(const std::wstring& exe, const std::string& image);

// One launcher start with the area's TEMP, TMP and working directory and
// neither a parent marker nor a start value (unless `environment` says
// otherwise). A start that Wine fails (see the source) is run again once.
struct sweep_run {
    std::wstring application;
    std::wstring command_line;  // element 0 included, as given
    std::map<std::wstring, std::optional<std::wstring>> environment;
};
program_result run_in_area(const sweep_area& area, const sweep_run& run);

// The launcher's own ends: a fixed message and 2, 3 with nothing written,
// or the application's status. Returns an explanation when it is none of
// them.
std::string undefined_outcome(const program_result& result, unsigned long application_status);

// The state of the area's temporary directory after a run: anything left in
// it is a target directory that was not removed.
std::vector<std::wstring> leftovers(const sweep_area& area);
void clear_temp(const sweep_area& area);

// What a run may leave in the temporary directory: nothing after a failure
// (status 2 or 3); otherwise at most its one target directory, which a removal
// that something held up leaves behind. Returns an explanation when the
// leftovers are more than that.
std::string unexpected_leftovers(const program_result& result, const std::vector<std::wstring>& left);
