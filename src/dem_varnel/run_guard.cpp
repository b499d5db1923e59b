// The run's guard: the one place where a failure is reported and the run ended.
#include "dem_varnel/run_guard.h"

#include <exception>
#include <new>

#include "answers.h"
#include "failure.h"
#include "host_console.h"
#include "host_files.h"

std::optional<std::string> failure_of(const std::function<void()>& phases) {
    try {
        phases();
        return std::nullopt;
    } catch (const RunFailure& failure) {
        return failure.message;
    } catch (const std::bad_alloc&) {
        return std::string("out of memory");
    } catch (const std::exception& error) {  // from a line source or sink of another's making
        return std::string(error.what());
    }
}

int run_guarded(const std::function<void()>& phases) {
    remove_temporary_files_on_interrupt();
    const std::optional<std::string> failure = failure_of(phases);
    if (failure && !failure->empty()) report(*failure);
    if (failure) remove_temporary_files();
    return failure ? 1 : 0;
}
