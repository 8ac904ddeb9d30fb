#pragma once

// CPU time of the whole process so far (user and system, all threads), in seconds.
double processCpuSeconds();
