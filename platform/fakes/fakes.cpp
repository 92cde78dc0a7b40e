// The fakes are header-only; this unit keeps the library target non-empty.
#include "platform/fakes/fake_clock.h"
#include "platform/fakes/fake_console.h"
#include "platform/fakes/recording_runner.h"
#include "platform/fakes/scripted_port.h"
