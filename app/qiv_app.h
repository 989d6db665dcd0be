// The user program linked into an image: setup() once after start-up, loop()
// on every pass of the main loop while busy looping is on. The runtime
// (qiv_runtime.h) calls them; each image links exactly one user program.
#pragma once

void setup(void);
void loop(void);
