// The user API: what a user program linked into an image includes.
#pragma once

#include "api_hardware_serial.h"
#include "api_objects.h"
#include "api_print.h"
#include "api_string.h"
#include "api_wire.h"
