// wg_input: the program for a converter that reads a Wiegand input. It decodes
// the converter's Wiegand and tamper reports and switches its GPIO0/GPIO1
// outputs.
#ifndef WG_INPUT_MODE_H
#define WG_INPUT_MODE_H

// The program: start-up, device choice, key loop, exit. Returns the exit status.
int InputModeMain();

void PrintHelp();

// The key map; keys outside it are ignored without output.
void InputModeKey(unsigned char key);

// Hands a complete received frame to its handler; other codes are dropped.
void InputModeDispatch(unsigned char command);

// Print the report held in RxFrameBuf.
void ProcessWiegandFrame();
void ProcessTamperFrame();

void Set_GPIO0(void *handle);
void Reset_GPIO0(void *handle);
void Set_GPIO1(void *handle);
void Reset_GPIO1(void *handle);

#endif  // WG_INPUT_MODE_H
