#include "launcher/run_job.h"

#include "launcher/launcher_state.h"
#include "launcher/path_spec_values.h"

namespace {

// The job's name holds what the target directory's does: the run's
// identifier and start time, which fit in it when they fitted there.
constexpr size_t job_name_capacity = target_directory_capacity + 16;

// Made by the main thread before the child exists, read by whichever thread
// ends the run, never closed: the process's end closes it, and that is what
// ends the run's launchers when the parent is killed.
HANDLE volatile run_job = nullptr;

// Named after the run rather than after the target directory, whose last
// component ("files" in "{CACHE_DIR}\app_{PID}_{TIME}\files") may be the
// same for every run: two runs sharing a job would end each other's
// launchers. Every launcher of the run expands the same two values, from
// TALMIR_ONEFILE_PARENT and TALMIR_ONEFILE_START.
bool job_name(wchar_t* name)
{
    return expand_path_spec(name, L"Local\\onefile_{PID}_{TIME}", job_name_capacity);
}

}  // namespace

bool create_run_job()
{
    wchar_t name[job_name_capacity];
    if (!job_name(name)) {
        return false;
    }
    HANDLE job = CreateJobObjectW(nullptr, name);
    if (job == nullptr) {
        return false;
    }
    // A job of that name that already exists is someone else's: joining it
    // would tie this run's life to a stranger's.
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(job);
        return false;
    }
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    // Kill on close: the parent holds the only handle, so its end, however
    // it comes, ends the run's launchers. Silent breakaway: whatever the
    // application starts (its helpers, an installer, the browser it opens)
    // is not in the job and outlives the parent as it would without one.
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK;
    if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
        CloseHandle(job);
        return false;
    }
    InterlockedExchangePointer(const_cast<PVOID volatile*>(&run_job), job);
    return true;
}

void add_to_run_job(HANDLE process)
{
    HANDLE job = run_job;
    // Fails before Windows 8 when the parent itself runs in a job that does
    // not allow nesting; the run then waits for its child alone, as without
    // a job. The handle stays open: another thread may be using it.
    if (job != nullptr && !AssignProcessToJobObject(job, process)) {
        InterlockedExchangePointer(const_cast<PVOID volatile*>(&run_job), nullptr);
    }
}

void join_run_job()
{
    wchar_t name[job_name_capacity];
    if (!job_name(name)) {
        return;
    }
    HANDLE job = OpenJobObjectW(JOB_OBJECT_ASSIGN_PROCESS | JOB_OBJECT_QUERY, FALSE, name);
    if (job == nullptr) {
        return;
    }
    // The parent's own child is in the job from its creation; a launcher
    // that the application started is not, since the application's
    // processes break away silently.
    BOOL inside = FALSE;
    if (!IsProcessInJob(GetCurrentProcess(), job, &inside) || !inside) {
        AssignProcessToJobObject(job, GetCurrentProcess());
    }
    // A handle kept here would keep the job open after the parent's end,
    // and kill-on-close would then kill nothing.
    CloseHandle(job);
}

bool run_job_is_empty()
{
    HANDLE job = run_job;
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting = {};
    if (job == nullptr ||
        !QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &accounting, sizeof accounting, nullptr)) {
        return true;
    }
    return accounting.ActiveProcesses == 0;
}

void terminate_run_job(UINT status)
{
    HANDLE job = run_job;
    if (job != nullptr) {
        TerminateJobObject(job, status);
    }
}
