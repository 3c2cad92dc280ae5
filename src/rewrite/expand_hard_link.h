// Gives a multiply-linked name a private copy of its file.
#pragma once

int expand_hard_link(char *const *slot);
