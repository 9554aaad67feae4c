// Interrupts of a command-line run that reads a recording: the first SIGINT or SIGTERM (Ctrl-C on a
// live pass, a service stopping) ends the input cleanly, so that what was received is processed and
// written; a second one ends the program at once.
#pragma once

// Installs the handlers; aEndInput is called from the first one, so it must be safe in a signal
// handler (storing to a lock-free atomic flag, say).
void InstallEndOfInputSignals(void (*aEndInput)());
