// The flash storage back end that goes through the protocol stack.
#pragma once

#include "nrf_fstorage.h"

extern nrf_fstorage_api_t nrf_fstorage_sd;
