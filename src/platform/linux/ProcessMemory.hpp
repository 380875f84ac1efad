#pragma once

// A picture needs tens of megabytes while it is made: the capture, the resized copy, the
// file, its Base64 text and the answer around it. The C library gives blocks that large back
// to the kernel as soon as they are freed, so each picture would map them afresh, and the
// first touch of every page is a fault; measured on a virtual machine, those faults cost more
// than the work done on the pages. So freed memory is kept for the next picture, and given
// back once pictures stop coming.

// Keeps freed blocks up to 32 MB (the C library's limit) in the process. Called once, at
// start-up.
void keepFreedMemory();

// Gives the freed memory back to the kernel. Any thread may call it, at any time.
void returnFreedMemory();
