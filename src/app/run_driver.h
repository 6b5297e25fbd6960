// The one way from a program's start to the run and back, whatever its window.
#pragma once

#include "app/front_end.h"
#include "app/program_shell.h"
#include "run/update_run.h"

namespace corvana {

// Opens the window's endpoint (the client's version answer and the raise request
// reach the front end through it; one that cannot be opened is explained through
// view and the run goes on without the answer), runs the front end and, once its
// window is shown, the run on a thread of its own with view (the front end's
// own, or one that wraps it); when the window has closed, finishes the run
// through shell and returns the exit status.
int DriveRun(ProgramShell& shell, UpdateRun& run, FrontEnd& frontEnd, RunView& view);

}  // namespace corvana
