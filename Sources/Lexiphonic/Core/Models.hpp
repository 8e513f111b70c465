#pragma once
// The engine's data model in one include.
#include "Lexiphonic/Core/Models/DecodingInputs.hpp"
#include "Lexiphonic/Core/Models/DecodingResult.hpp"
#include "Lexiphonic/Core/Models/ModelSupport.hpp"
#include "Lexiphonic/Core/Models/TranscriptionResult.hpp"
#include "Lexiphonic/Core/Models/TranscriptionTimings.hpp"
