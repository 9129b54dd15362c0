// SPDX-License-Identifier: Apache-2.0
// A gateway file that reaches the engine by climbing out of its folder: the
// include check must refuse it (never compiled).
#include "../../engine/gsm_engine.hpp"
