#pragma once

// What the helper gives up before its first request, once everything it
// needs from the start is loaded.
namespace Confinement {

void apply();

}
