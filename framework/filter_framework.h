/*
 * Everything a filter body uses from the framework.
 */
#ifndef FRAMEWORK_FILTER_FRAMEWORK_H
#define FRAMEWORK_FILTER_FRAMEWORK_H

#include "colour.h"
#include "entry.h"
#include "line_access.h"
#include "memory.h"
#include "messages.h"
#include "named_image.h"
#include "number_text.h"
#include "ref_image.h"
#include "text_file.h"

#endif
