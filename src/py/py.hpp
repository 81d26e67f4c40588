// The project's layer over the CPython stable ABI: include this one header.
#pragma once

#include "error.hpp"
#include "format.hpp"
#include "function.hpp"
#include "gil.hpp"
#include "iterate.hpp"
#include "module.hpp"
#include "object.hpp"
#include "params.hpp"
#include "python.hpp"
#include "ref.hpp"
#include "signature.hpp"
#include "type.hpp"
