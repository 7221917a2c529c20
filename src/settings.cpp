#include "settings.h"

settings g_settings;
char timestamp[32] = "TIMESTAMPERROR";
char scratch[scratch_size];
