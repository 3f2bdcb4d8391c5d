#include "platform/binding.h"
#include "platform/seam.h"

namespace {
constexpr int max_mask_bits = static_cast<int>(sizeof(DWORD_PTR) * 8);
}

process_binding::process_binding()
{
    have_masks_ = platform_processors().get_affinity(&process_mask_, &system_mask_) != FALSE;
}

bool process_binding::bind(int processor)
{
    if (!have_masks_ || processor < 0 || processor >= max_mask_bits) return false;
    bound_ = true; // a refused binding may still have moved some threads: restore anyway
    return platform_processors().set_affinity(static_cast<DWORD_PTR>(1) << processor) != FALSE;
}

void process_binding::restore()
{
    if (!bound_) return;
    platform_processors().set_affinity(process_mask_);
    bound_ = false;
}

bool thread_binding::move_to(int processor)
{
    if (processor < 0 || processor >= max_mask_bits) return false;
    const DWORD_PTR previous = platform_processors().bind_thread(static_cast<DWORD_PTR>(1) << processor);
    if (!previous_) previous_ = previous;
    return previous != 0;
}

thread_binding::~thread_binding()
{
    if (previous_) platform_processors().bind_thread(previous_);
}

priority_scope::priority_scope(DWORD process_class, int thread_priority)
{
    if (process_class) {
        previous_class_ = GetPriorityClass(GetCurrentProcess());
        SetPriorityClass(GetCurrentProcess(), process_class);
    }
    previous_thread_ = GetThreadPriority(GetCurrentThread());
    if (previous_thread_ == THREAD_PRIORITY_ERROR_RETURN) previous_thread_ = THREAD_PRIORITY_NORMAL;
    SetThreadPriority(GetCurrentThread(), thread_priority);
}

priority_scope::~priority_scope()
{
    SetThreadPriority(GetCurrentThread(), previous_thread_);
    if (previous_class_) SetPriorityClass(GetCurrentProcess(), previous_class_);
}
