// Small COM helpers: reference-count probe and type tests.
#pragma once

#include "platform/com/combase.h"
#include "platform/com/oleauto.h"

// The interface's reference count (adds a reference and releases it again); for trace lines
// only. A null interface is an internal error.
int ole_get_ref_count(IUnknown* unknown);

// True for VT_DATE and VT_BSTR.
bool ole_is_date_or_bstr(VARTYPE type);
