#pragma once

#include <cholmod.h>

namespace DataLayer
{
namespace detail
{
// One started CHOLMOD workspace, finished when it goes. Both sparse solvers own theirs through this,
// so the rule that the library prints nothing lives in one place.
struct SCholmodWorkspace
{
    SCholmodWorkspace()
    {
        cholmod_start(&common);
        // CHOLMOD prints its warnings (a matrix that is not positive definite, say) to stdout by
        // default; the solvers report through return values and write nothing to the console.
        common.print = 0;
    }
    ~SCholmodWorkspace() { cholmod_finish(&common); }
    SCholmodWorkspace(const SCholmodWorkspace&) = delete;
    SCholmodWorkspace& operator=(const SCholmodWorkspace&) = delete;

    cholmod_common common;
};
} // namespace detail
} // namespace DataLayer
