// Registers the calls windows with the application shell's frame.
#pragma once

namespace calls {

// Called once before the frame is made (the program's main).
void RegisterWithShell();

}  // namespace calls
