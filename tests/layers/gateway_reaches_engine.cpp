// SPDX-License-Identifier: Apache-2.0
// A file with a gateway's include roots that names the engine: it must not
// compile, since gateways never see the engine.
#include "engine/gsm_engine.hpp"
