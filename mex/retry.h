// The retry rule of the launch command's guarded CUDA calls: a failing call
// gets three more tries, after the engine's reclaim (20 MiB), reclaim_more
// (20 MiB) and reclaim_all; one that still fails is a GPU failure (A113).
#pragma once

#include "engine.h"
#include "err.h"

#include <functional>

extern const char *const knorl_a113_message;
constexpr unsigned knorl_reclaim_bytes = 20u << 20;

enum class cuda_api { driver, runtime };

// Runs `call` under the rule at the site (line, function): success, the
// engine's triple of a failed reclaim step, or {line, "knorlmex", A113} after
// the diagnostic "CUDA driver error: ..." or "CUDA runtime error: ...".
err_t knorl_retry(engine_t *g, int line, const char *function, cuda_api api,
                  const std::function<int()> &call);
