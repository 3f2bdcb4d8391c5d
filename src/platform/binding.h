// Work confined to one processor at a time, and priorities raised for a short while. Each
// scope puts back what it changed when it ends, on every path; all of it goes through the
// seam, so the simulated machine is bound the same way.
#pragma once
#include <windows.h>

// The whole process bound to one processor at a time: every thread follows, so CPUID and
// driver requests run on that processor. The saved process mask is put back at the end.
class process_binding {
public:
    process_binding(); // reads the process and system masks
    ~process_binding() { restore(); }
    process_binding(const process_binding&) = delete;
    process_binding& operator=(const process_binding&) = delete;

    // False when the masks could not be read: then nothing is ever bound, since there is
    // no mask to go back to.
    bool have_masks() const { return have_masks_; }
    DWORD_PTR process_mask() const { return process_mask_; }
    DWORD_PTR system_mask() const { return system_mask_; }
    // Binds the process to processor index; false when refused, out of range or unknown masks.
    bool bind(int processor);
    // Puts the saved process mask back now, if anything was bound.
    void restore();

private:
    DWORD_PTR process_mask_ = 0, system_mask_ = 0;
    bool have_masks_ = false;
    bool bound_ = false;
};

// The calling thread alone bound to one processor; its previous mask is put back at the end.
class thread_binding {
public:
    thread_binding() = default; // bound nowhere yet
    explicit thread_binding(int processor) { move_to(processor); }
    ~thread_binding();
    thread_binding(const thread_binding&) = delete;
    thread_binding& operator=(const thread_binding&) = delete;
    // Binds the thread to processor (another one than before, or the first); the mask it
    // had before its first binding is the one put back. false when refused or out of range.
    bool move_to(int processor);
    bool bound() const { return previous_ != 0; }

private:
    DWORD_PTR previous_ = 0;
};

// The process's priority class (0: left alone) and the calling thread's priority raised for
// the scope; both put back as they were when it ends.
class priority_scope {
public:
    priority_scope(DWORD process_class, int thread_priority);
    ~priority_scope();
    priority_scope(const priority_scope&) = delete;
    priority_scope& operator=(const priority_scope&) = delete;

private:
    DWORD previous_class_ = 0;
    int previous_thread_ = THREAD_PRIORITY_NORMAL;
};
