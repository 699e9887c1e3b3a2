#pragma once

// The frontend half of the stand-in. It sits on whichever libobs the program links (the stand-in's
// or the real one), since the frontend needs OBS's main window and is never run for real here.

namespace standin {
// No docks, no current scene, docks accepted again. Docks still registered are deleted.
void resetFrontend();
} // namespace standin
