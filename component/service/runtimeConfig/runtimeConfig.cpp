#include "runtimeConfig.h"

runtimeConfigP2P_t gRutimeConfigP2P = {};
bool useRuntimeConfigP2P = false;

bool set_runtimeConfigP2P(const runtimeConfigP2P_t *config) {
  if (config == nullptr) {
    return false;
  }
  gRutimeConfigP2P = *config;
  return true;
}

bool get_runtimeConfigP2P(runtimeConfigP2P_t *config) {
  if (config == nullptr) {
    return false;
  }
  *config = gRutimeConfigP2P;
  return true;
}

void set_useRuntimeConfigP2P(bool flag) { useRuntimeConfigP2P = flag; }

bool get_useRuntimeConfigP2P(void) { return useRuntimeConfigP2P; }
