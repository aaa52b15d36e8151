#pragma once

#include "commandline.h"

// The --help text of the program (Command::None) or of one command.
QString helpText(Command command);
