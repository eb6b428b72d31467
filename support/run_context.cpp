#include "support/run_context.h"

#include <unistd.h>

namespace quovix {

int32_t resolveWorkerCount(int32_t requested)
{
    if (requested < 1) {
        const long online = sysconf(_SC_NPROCESSORS_ONLN);
        return online < 1 ? 1 : (online > 8 ? 8 : static_cast<int32_t>(online));
    }
    return requested > 8 ? 8 : requested;
}

RunContext::RunContext(const Options& options)
    : settings(options),
      console(options.onMessage, options.traceResources, options.debugLogPath),
      progress(options.onProgress),
      scratch(console, options.tempFolder),
      pool(console, resolveWorkerCount(options.workerCount), {}, options.cancel),
      cancel(options.cancel)
{
    settings.workerCount = pool.workers();
}

} // namespace quovix
