#pragma once

/// @file
/// Umbrella header of the Velmora SMS-panel client library: includes every public header.
/// @namespace velmora
/// The client (`Velmora`), its options, records, outcomes and helpers.
#include "velmora/answers.hpp"
#include "velmora/client.hpp"
#include "velmora/diagnostics.hpp"
#include "velmora/failure.hpp"
#include "velmora/future.hpp"
#include "velmora/messages.hpp"
#include "velmora/options.hpp"
#include "velmora/result.hpp"
#include "velmora/text.hpp"
#include "velmora/version.h"
