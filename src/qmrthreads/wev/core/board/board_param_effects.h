// The board's own reactions to parameter changes: port power, the relay and
// the display codes that follow their switches.
#pragma once

// Registers them with the parameter store; start-up calls it once.
void registerBoardParamEffects();
