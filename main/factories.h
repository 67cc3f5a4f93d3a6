// The slot factories of the program, each registered at its construction.
#pragma once

// Builds every factory once (later calls do nothing); each puts itself at
// the head of the registry, so the last one built is asked first. The
// trunk factories registered before main.
void BuildFactories();
