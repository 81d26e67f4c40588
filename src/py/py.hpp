// The project's layer over the CPython stable ABI: include this one header.
#pragma once

#include "error.hpp"
#include "module.hpp"
#include "object.hpp"
#include "params.hpp"
#include "python.hpp"
#include "ref.hpp"
#include "type.hpp"
