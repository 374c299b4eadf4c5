#include "filterhost_fixture.h"
