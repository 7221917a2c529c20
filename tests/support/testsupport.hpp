#pragma once
// Everything an end-to-end test needs: #include "support/testsupport.hpp".

#include "support/bytes.hpp"
#include "support/game_folder.hpp"
#include "support/messages.hpp"
#include "support/run.hpp"
#include "support/windows_build.hpp"
#include "support/world_image.hpp"
