#include "Main/menulock.h"

void initCategoryConfigMenuLock() { static category::CategoryConfigMenuLock menuLock; }
