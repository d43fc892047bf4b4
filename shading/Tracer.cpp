#include "shading/Tracer.h"

Tracer* Tracer::current_ = nullptr;
