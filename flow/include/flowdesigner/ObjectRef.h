#ifndef FLOWDESIGNER_OBJECTREF_H
#define FLOWDESIGNER_OBJECTREF_H
#include "Object.h"
#include "net_types.h"
#endif
