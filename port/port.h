#pragma once

// The whole port library: objects, plain functions, callback types, constants.
#include "port/PortConnection.h"
#include "port/PortLibrary.h"
#include "port/PortListener.h"
#include "port/PortTypes.h"
