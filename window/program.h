#pragma once

#include "hostports.h"

// Names the program to the desktop. No display name: Qt would append it to every window title,
// and the Help box's title is "Help" alone.
void setApplicationIdentity();

// The program from its command line to its exit status: --help and --version answer without a
// display; otherwise the window runs until the user or a stop signal closes it.
int runProgram(int argc, char *argv[], PortLister listPorts = Serial::readHostPorts);
