#include "Export/Export.h"

CORVANE_EXPORT int Add(int left, int right)
{
    return left + right;
}
