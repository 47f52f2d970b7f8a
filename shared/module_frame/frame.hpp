// Everything a module needs to talk to Python: references, errors, argument binding and
// conversion, typed array views, and the module definition.
#pragma once

#include "binder.hpp"
#include "buffer.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "input_data.hpp"
#include "module.hpp"
#include "numpy.hpp"
#include "ref.hpp"
