#include "launcher/run_job.h"

#include "launcher/launcher_state.h"
#include "launcher/path_spec_values.h"
#include "neutral/wide_bounded.h"

namespace {

// The names hold what the target directory's does: the run's identifier and
// start time, which fit in them when they fitted there.
constexpr size_t run_object_name_capacity = target_directory_capacity + 32;

// How long the parent waits for the lock before it looks at its messages
// again; a launcher holds it only while it joins.
constexpr DWORD lock_poll_ms = 100;
// How long a launcher waits for the lock before it gives up on the run and
// starts as a parent of its own, which is always safe.
constexpr DWORD join_lock_wait_ms = 5000;

// Made by the main thread before the child exists, read by whichever thread
// ends the run, never closed: the process's end closes them, and that is
// what ends the run's launchers when the parent is killed.
HANDLE volatile run_job = nullptr;
HANDLE run_lock = nullptr;
HANDLE run_mark = nullptr;

// The process identifiers in the job, the parent's among them. A run with
// more launchers than this at a time is not a run anyone starts. Reached
// through a pointer to the record, whose list is its last member: indexed
// through a record with more after it, the compiler may take the list's
// declared single element for its length.
constexpr DWORD listed_capacity = 1024;
alignas(JOBOBJECT_BASIC_PROCESS_ID_LIST) unsigned char listed_buffer[sizeof(JOBOBJECT_BASIC_PROCESS_ID_LIST) +
                                                                    (listed_capacity - 1) * sizeof(ULONG_PTR)];
JOBOBJECT_BASIC_PROCESS_ID_LIST* const listed = reinterpret_cast<JOBOBJECT_BASIC_PROCESS_ID_LIST*>(listed_buffer);

bool list_job(HANDLE job)
{
    return QueryInformationJobObject(job, JobObjectBasicProcessIdList, listed_buffer, sizeof listed_buffer, nullptr);
}

// Named after the run rather than after the target directory, whose last
// component ("files" in "{CACHE_DIR}\app_{PID}_{TIME}\files") may be the
// same for every run: two runs sharing a job would end each other's
// launchers. Every launcher of the run expands the same two values, from
// TALMIR_ONEFILE_PARENT and TALMIR_ONEFILE_START.
bool run_object_name(wchar_t* name, const wchar_t* suffix)
{
    wchar_t name_template[64];
    copy_wide_bounded(name_template, L"Local\\onefile_{PID}_{TIME}", 64);
    append_wide_bounded(name_template, suffix, 64);
    return expand_path_spec(name, name_template, run_object_name_capacity);
}

void close_if_open(HANDLE* handle)
{
    if (*handle != nullptr) {
        CloseHandle(*handle);
        *handle = nullptr;
    }
}

// Made here, or refused: an object of that name that exists already is
// someone else's, and trusting it would tie this run's life to a stranger's.
bool created_fresh(HANDLE handle)
{
    return handle != nullptr && GetLastError() != ERROR_ALREADY_EXISTS;
}

bool listed_holds(DWORD process_id)
{
    for (DWORD i = 0; i < listed->NumberOfProcessIdsInList; ++i) {
        if (listed->ProcessIdList[i] == process_id) {
            return true;
        }
    }
    return false;
}

// WAIT_ABANDONED: a launcher was killed while it held the lock; the lock is
// this thread's now, and what it guards is as the last owner left it.
bool take_lock(DWORD timeout_ms)
{
    DWORD state = WaitForSingleObject(run_lock, timeout_ms);
    return state == WAIT_OBJECT_0 || state == WAIT_ABANDONED;
}

}  // namespace

bool create_run_job()
{
    wchar_t name[run_object_name_capacity];
    HANDLE job = nullptr;
    if (run_object_name(name, L"")) {
        job = CreateJobObjectW(nullptr, name);
        if (!created_fresh(job)) {
            close_if_open(&job);
        }
    }
    if (job != nullptr && run_object_name(name, L"_lock")) {
        run_lock = CreateMutexW(nullptr, FALSE, name);
        if (!created_fresh(run_lock)) {
            close_if_open(&run_lock);
        }
    }
    if (run_lock != nullptr && run_object_name(name, L"_ending")) {
        run_mark = CreateEventW(nullptr, TRUE, FALSE, name);
        if (!created_fresh(run_mark)) {
            close_if_open(&run_mark);
        }
    }
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    // Kill on close: the parent holds the only handle, so its end, however
    // it comes, ends the run's launchers. Silent breakaway: whatever the
    // application starts (its helpers, an installer, the browser it opens)
    // is not in the job and outlives the parent as it would without one;
    // so are the processes the parent starts, which it puts in the job
    // itself where they belong there.
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK;
    // The parent in its own job, last: a launcher joins only a job that
    // holds the parent it checked, and nobody but the job's maker can put
    // the parent into it. Before Windows 8 a parent that runs in a job of
    // someone else's cannot be in a second one.
    if (run_mark == nullptr ||
        !SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits) ||
        !AssignProcessToJobObject(job, GetCurrentProcess())) {
        close_if_open(&run_mark);
        close_if_open(&run_lock);
        close_if_open(&job);
        return false;
    }
    InterlockedExchangePointer(const_cast<PVOID volatile*>(&run_job), job);
    return true;
}

void add_to_run_job(HANDLE process)
{
    HANDLE job = run_job;
    // The handle stays open when this fails: the parent is in the job, and
    // closing it would end the parent. The run then waits for its child
    // alone, as without a job.
    if (job != nullptr && !AssignProcessToJobObject(job, process)) {
        InterlockedExchangePointer(const_cast<PVOID volatile*>(&run_job), nullptr);
    }
}

run_join join_run_job(DWORD parent_id)
{
    wchar_t name[run_object_name_capacity];
    if (!run_object_name(name, L"_lock")) {
        return run_without_job;
    }
    run_lock = OpenMutexW(SYNCHRONIZE, FALSE, name);
    if (run_lock == nullptr) {
        return run_without_job;  // a parent without a job
    }
    if (!take_lock(join_lock_wait_ms)) {
        close_if_open(&run_lock);
        return run_ending;
    }
    run_join result = run_without_job;
    HANDLE mark = run_object_name(name, L"_ending") ? OpenEventW(SYNCHRONIZE, FALSE, name) : nullptr;
    HANDLE job =
        run_object_name(name, L"") ? OpenJobObjectW(JOB_OBJECT_ASSIGN_PROCESS | JOB_OBJECT_QUERY, FALSE, name) : nullptr;
    if (mark != nullptr && WaitForSingleObject(mark, 0) == WAIT_OBJECT_0) {
        result = run_ending;
    } else if (mark != nullptr && job != nullptr && list_job(job) && listed_holds(parent_id)) {
        // The parent's own child is in the job from its creation; a
        // launcher that the application started is not, since the
        // application's processes break away silently.
        BOOL inside = FALSE;
        if (IsProcessInJob(GetCurrentProcess(), job, &inside) &&
            (inside || AssignProcessToJobObject(job, GetCurrentProcess()))) {
            result = run_joined;
        }
    }
    // A job that does not hold the parent was made by someone else before
    // the parent (which then refused it): joining it would let its maker
    // limit or end the application. A handle kept here would keep the job
    // open after the parent's end, and kill-on-close would then kill nothing.
    close_if_open(&job);
    close_if_open(&mark);
    ReleaseMutex(run_lock);
    close_if_open(&run_lock);
    return result;
}

bool run_job_is_empty()
{
    HANDLE job = run_job;
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting = {};
    if (job == nullptr ||
        !QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &accounting, sizeof accounting, nullptr)) {
        return true;
    }
    return accounting.ActiveProcesses <= 1;  // the parent
}

bool mark_run_ending_if_empty()
{
    if (run_job == nullptr || run_lock == nullptr) {
        return true;
    }
    if (!take_lock(lock_poll_ms)) {
        return false;
    }
    bool empty = run_job_is_empty();
    if (empty) {
        SetEvent(run_mark);
    }
    ReleaseMutex(run_lock);
    return empty;
}

void mark_run_ending()
{
    if (run_lock == nullptr) {
        return;
    }
    // Set also when the lock stays taken (a launcher stopped while it
    // joins): whoever joins after this sees the mark, and whoever joined
    // before is ended with the run.
    bool locked = take_lock(lock_poll_ms);
    SetEvent(run_mark);
    if (locked) {
        ReleaseMutex(run_lock);
    }
}

void terminate_run_job(UINT status)
{
    HANDLE job = run_job;
    if (job == nullptr || !list_job(job)) {
        return;
    }
    // The list is a snapshot: an identifier that a process left since may
    // name a stranger by now. An open handle keeps an identifier from being
    // reused, so the processes are opened first and ended only if the job
    // still lists them afterwards.
    static HANDLE opened[listed_capacity];
    static DWORD identifiers[listed_capacity];
    DWORD count = 0;
    for (DWORD i = 0; i < listed->NumberOfProcessIdsInList && i < listed_capacity; ++i) {
        DWORD id = static_cast<DWORD>(listed->ProcessIdList[i]);
        HANDLE process = id != GetCurrentProcessId() ? OpenProcess(PROCESS_TERMINATE, FALSE, id) : nullptr;
        if (process != nullptr) {
            opened[count] = process;
            identifiers[count++] = id;
        }
    }
    bool relisted = list_job(job);
    for (DWORD i = 0; i < count; ++i) {
        if (relisted && listed_holds(identifiers[i])) {
            TerminateProcess(opened[i], status);
        }
        CloseHandle(opened[i]);
    }
}
