// Entry point of fetchwell.
int main() {
  return 0;
}
