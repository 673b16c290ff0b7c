#include "Main/gpi.h"

void initCategoryGpiInOut() { static category::CategoryGpiInOut gpi; }
