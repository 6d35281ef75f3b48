// wg_output: the program for a converter that drives a Wiegand output. It
// sends 26-bit Wiegand frames and tamper commands and prints the converter's
// GPIO0/GPIO1 reports.
#ifndef WG_OUTPUT_MODE_H
#define WG_OUTPUT_MODE_H

// The program: start-up, device choice, key loop, exit. Returns the exit status.
int OutputModeMain();

void PrintHelp();

// The key map; keys outside it are ignored without output.
void OutputModeKey(unsigned char key);

// Hands a complete received frame to its handler; other codes are dropped.
void OutputModeDispatch(unsigned char command);

// Prompts for facility code and badge number, then sends the 26-bit frame.
void Send_WiegandFrame26b(void *handle);
// Sends the 26-bit frame for facility 0..255 and badge 0..65535.
void Send_WiegandFrame26b(void *handle, int facility, long badge);

// No frame layout is defined for these lengths: they send nothing.
void Send_WiegandFrame30b(void *handle);
void Send_WiegandFrame34b(void *handle);
void Send_WiegandFrame35b(void *handle);
void Send_WiegandFrame37b(void *handle);
void Send_WiegandFrame38b(void *handle);
void Send_WiegandFrame42b(void *handle);

void Set_Tamper(void *handle);
void Reset_Tamper(void *handle);

// Print the GPIO report held in RxFrameBuf.
void ProcessGPIO0Frame();
void ProcessGPIO1Frame();

#endif  // WG_OUTPUT_MODE_H
