// The launcher's signal handling, installed in one place at start.
#pragma once

// SIGTERM and SIGINT set the flag that the loop turns into WM_DESTROY and ask for the program's
// stop, which ends every wait at once; SIGPIPE (writes to a closed standard error) and SIGXFSZ
// (a download past the file-size limit fails with EFBIG) are made harmless. Handlers rather
// than SIG_IGN: an ignored signal would be inherited by the started tablet application, a
// handler is reset by its exec.
void InstallSignalHandlers();

// True once SIGTERM or SIGINT arrived.
bool TerminationRequested();
