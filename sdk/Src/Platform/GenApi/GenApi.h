// Umbrella header of the QxGenApi node-map engine (the SDK's own stand-in for GenICam GenApi).
#pragma once
#include "GenApi/Exceptions.h"
#include "GenApi/Interfaces.h"
#include "GenApi/NodeMapRef.h"
#include "GenApi/Pointer.h"
#include "GenApi/Types.h"
