#pragma once

// The program's log lives at the bottom so that the platform layer can write to it too.
#include "Platform/Foundation/Log.hpp"
