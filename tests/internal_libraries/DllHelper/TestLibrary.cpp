#ifdef _WIN32
#define TEST_LIBRARY_EXPORT __declspec(dllexport)
#else
#define TEST_LIBRARY_EXPORT __attribute__((visibility("default")))
#endif

extern "C" TEST_LIBRARY_EXPORT int Add(int left, int right)
{
    return left + right;
}
