#include "config/state.h"

// Zero at load, but for the one flag that starts set.
ManagerState gState = [] {
    ManagerState s = {};
    s.firstSwapToLiteStep = true;
    return s;
}();
