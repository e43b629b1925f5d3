// Environment internals that tests reach directly.
#pragma once

#include <cstdint>

#include "qnst_bdb.h"

// The mutex budget of an environment: its cache size in kilobytes.
int64_t qnst_env_mutex_budget(uint32_t cache_gbytes, uint32_t cache_bytes);

// Berkeley DB's feedback callback: reports recovery progress as "Env <home> recoverd <n> %",
// at most once a minute for the whole process.
void qnst_env_recovery_feedback(DB_ENV *dbenv, int opcode, int percent);
// Forgets the time of the last recovery report, so that the next one is written.
void qnst_env_reset_recovery_report();
