// Ctrl-C while publishing: the run stops at the next file and removes its
// temporary folder instead of leaving it behind.
#pragma once

namespace pub {

// Makes SIGINT and SIGTERM set the flag instead of ending the process.
void catch_interrupts();
// Whether an interrupt arrived.
bool interrupted();

}  // namespace pub
