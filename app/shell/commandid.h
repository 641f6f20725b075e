// Command numbers of the program: the one enum lives with the resources, where the panes below
// the shell can reach it too.
#pragma once

#include "res/commandid.h"

namespace tunara::shell {

using res::Cmd;
using res::MenuTextBase;
using res::ViewHint;

} // namespace tunara::shell
