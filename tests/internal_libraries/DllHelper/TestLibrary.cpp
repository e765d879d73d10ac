extern "C" __attribute__((visibility("default"))) int Add(int left, int right)
{
    return left + right;
}
