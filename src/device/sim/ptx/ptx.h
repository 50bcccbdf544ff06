// PTX modules on the simulated device: what tests read beside the driver API.
// Only exists in sim builds (DEV_BACKEND_SIM).
#pragma once

#include <string>

namespace sim {

// The diagnostic of the calling thread's last module load that failed
// ("line 12: unknown instruction 'foo.b32'"), empty after one that succeeded.
std::string ptx_log();

}  // namespace sim
