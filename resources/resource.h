// Resource IDs shared by QX2205R.rc and the window code.
// Plain numbers only: windres reads this file as well as the C++ compiler.
#ifndef QX2205R_RESOURCES_RESOURCE_H
#define QX2205R_RESOURCES_RESOURCE_H

// Explorer shows the icon group with the lowest number as the program's icon, so IDI_APP stays first.
#define IDI_APP 100
#define IDI_CHECK 101
#define IDI_DOOR 102

#endif
