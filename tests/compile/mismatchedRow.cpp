// Must not compile: a clear row given a problem template, and a post whose
// values do not fit its message. Built with KELD_WELL_FORMED defined, the same
// file must compile, which shows that the failure comes from the checks.
#include "correlators/keldRows.h"

#ifdef KELD_WELL_FORMED
constexpr EventRow kRow = {"%p", VPROB_CLEAR, VPROB_TEMPLATE("nox.clear.t.up", "Link %s is up"), 0};
void Post(const char *name) { VPROB_POST(0, VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.t.down", "Link %s is down"), name); }
#elif defined(KELD_WRONG_VALUES)
constexpr EventRow kRow = {"%p", VPROB_CLEAR, VPROB_TEMPLATE("nox.clear.t.up", "Link %s is up"), 0};
void Post(long count) { VPROB_POST(0, VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.t.down", "Link %s is down"), count); }
#else
constexpr EventRow kRow = {"%p", VPROB_CLEAR, VPROB_TEMPLATE("nox.problem.t.up", "Link %s is up"), 0};
void Post(const char *name) { VPROB_POST(0, VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.t.down", "Link %s is down"), name); }
#endif

const EventRow &Row() { return kRow; }
