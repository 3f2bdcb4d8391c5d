#include "skew/judge.h"

void skew_midpoint(ULONGLONG t0, ULONGLONG t1, ULONGLONG t2, LONGLONG* offset, LONGLONG* uncertainty)
{
    *offset = static_cast<LONGLONG>(t1 - (t0 + (t2 - t0) / 2));
    *uncertainty = static_cast<LONGLONG>((t2 - t0 + 1) / 2);
}

double skew_ns(LONGLONG cycles, double rate) { return static_cast<double>(cycles) * 1e9 / rate; }

skew_verdict skew_judge(const skew_pass& pass, double rate, double tolerance_ns)
{
    skew_verdict v = {true, -1, 0, -1, 0, -1, 0};
    double worst_size = 0;
    for (int bit = 0; bit < MAX_CPUS; ++bit) {
        const skew_reading& r = pass.readings[bit];
        if (!(pass.mask & (static_cast<DWORD_PTR>(1) << bit)) || r.status != skew_status::measured) continue;
        const double offset = skew_ns(r.offset, rate);
        const double uncertainty = skew_ns(r.uncertainty, rate);
        const double size = offset < 0 ? -offset : offset;
        if (bit != pass.reference && (v.widest < 0 || size + uncertainty > v.widest_ns)) {
            v.widest = bit;
            v.widest_ns = size + uncertainty;
        }
        if (size > uncertainty + tolerance_ns && (v.worst < 0 || size > worst_size)) {
            v.worst = bit;
            v.worst_ns = offset;
            worst_size = size;
        }
        if (uncertainty > tolerance_ns && (v.loosest < 0 || uncertainty > v.loosest_ns)) {
            v.loosest = bit;
            v.loosest_ns = uncertainty;
        }
    }
    v.in_step = v.worst < 0;
    return v;
}

bool skew_drift_of(const skew_pass& first, const skew_pass& second, int bit, double rate, skew_drift* drift)
{
    if (bit < 0 || bit >= MAX_CPUS || rate <= 0) return false;
    const skew_reading& a = first.readings[bit];
    const skew_reading& b = second.readings[bit];
    LARGE_INTEGER frequency;
    if (a.status != skew_status::measured || b.status != skew_status::measured ||
        !QueryPerformanceFrequency(&frequency) || b.at <= a.at)
        return false;
    const double seconds = static_cast<double>(b.at - a.at) / static_cast<double>(frequency.QuadPart);
    drift->ns_per_s = skew_ns(b.offset - a.offset, rate) / seconds;
    drift->uncertainty_ns_per_s = skew_ns(a.uncertainty + b.uncertainty, rate) / seconds;
    const double size = drift->ns_per_s < 0 ? -drift->ns_per_s : drift->ns_per_s;
    drift->within_uncertainty = size <= drift->uncertainty_ns_per_s;
    return true;
}
