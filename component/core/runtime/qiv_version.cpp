// Version texts of the image.
#include "service_nvm.h"

#ifndef QIV_MODEL
#define QIV_MODEL QIV_IMAGE_NAME
#endif

const char sw_version[] = "QIV_4.2.4_" QIV_MODEL;
const char model_id[] = QIV_MODEL;
const char cli_version[] = "1.5.15";
