function args = worked_example_args(image_select)
% Arguments of the worked example: a 2 x 2 image, two sensors at (0, 0.5, 0)
% and (2, 2, 0), six samples at t = 2..7 with fs = 1 and c = 1, so the
% sample position is the distance minus one. Pixel 1 hits the exact rounding
% tie 0.5 and pixel 0 a position of -0.5 that is clamped to sample 0.
%   image_select 1: [14 11; 29 24]   2: [40 29; 65 50]   3: [-26 -18; -36 -26]
sigMat = [10 0; 20 1; 30 4; 40 9; 50 16; 60 25];
t = (2:7)';
args = {sigMat, 2, [0 2], [0.5 2], [0 0], 1, image_select, t, 1, 2, 1};
end
