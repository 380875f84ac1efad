#pragma once

#include <chrono>

// Tries to connect to the PulseAudio server (PULSE_SERVER or the default), never starting
// one, and gives up at the deadline. True when the server accepted the connection.
bool pulseAudioAnswers(std::chrono::milliseconds deadline);
