#pragma once
// Macros and call blocks. The `Macro` record itself is part of the syntax tree (AST.hpp); calling one
// goes through Interpreter::callMacro.
#include "Jinja/AST.hpp"
#include "Jinja/Interpreter.hpp"
