// Gives a multiply-linked name a private copy of its file.
#pragma once

#include "compare/pass_context.h"

// In the context of standalone_pass().
int expand_hard_link(char *const *slot);
// As a routine of one pass of the driver.
int expand_hard_link_in(pass_context &pass, char *const *slot);
