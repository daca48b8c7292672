function make_kwave_scans(kwave_dir, out_file)
%MAKE_KWAVE_SCANS  2-D k-Wave scans for validating tofimage_autofocus.
%   make_kwave_scans(kwave_dir, out_file) runs k-Wave's kspaceFirstOrder2D
%   (the MATLAB toolbox in kwave_dir, github ucl-bug/k-wave, LGPL; not part
%   of this repository) for each case below and saves the recordings to
%   out_file (default ../kwave_scans.mat beside this folder), compressed,
%   as int16 with one scale per scan.
%
%   Grid 256 x 256 at 0.1 mm with its perfectly matched layer inside (20
%   cells), dt = 20 ns (fs = 50 MHz), 800 samples from t(1) = 0, as k-Wave
%   records. The initial pressure is smoothed by k-Wave (Blackman window);
%   the Cartesian sensors interpolate the field (k-Wave's default). Arrays:
%     ring    256 sensors on a circle of radius 10 mm around the origin
%     linear  128 sensors 0.15 mm apart along x on the line y = 10 mm
%   Phantoms (within 6.5 mm of the origin):
%     points  four single-cell absorbers
%     vessel  a winding line 0.3 mm wide
%     disc    a uniform disc of radius 3 mm
%   Runs in GNU Octave 7 (with this folder's stand-ins for datetime and
%   seconds) and in MATLAB. About 20-60 s per case on 2 cores.
here = fileparts(mfilename('fullpath'));
if nargin < 2
  out_file = fullfile(here, '..', 'kwave_scans.mat');
end
addpath(kwave_dir);
if exist('OCTAVE_VERSION', 'builtin')
  addpath(here);   % datetime and seconds, which Octave 7 lacks
end
cases = {'ring', 'points', 1450; 'ring', 'points', 1540; 'ring', 'vessel', 1500; ...
         'ring', 'vessel', 1580; 'ring', 'disc', 1500; 'ring', 'disc', 1560; ...
         'linear', 'points', 1480; 'linear', 'points', 1570; 'linear', 'vessel', 1520; ...
         'linear', 'disc', 1500};
scans = struct('array', {}, 'phantom', {}, 'c', {}, 'data', {}, 'scale', {}, ...
               'x_sensor', {}, 'y_sensor', {}, 'vessel_end', {});
for k = 1:size(cases, 1)
  [data, x_sensor, y_sensor, vessel_end, fs, rows] = simulate(cases{k, :});
  scale = max(abs(data(:))) / 32767;
  scans(k) = struct('array', cases{k, 1}, 'phantom', cases{k, 2}, 'c', cases{k, 3}, ...
                    'data', int16(round(data / scale)), 'scale', scale, ...
                    'x_sensor', x_sensor, 'y_sensor', y_sensor, 'vessel_end', vessel_end);
  fprintf('make_kwave_scans: %s %s c = %d done\n', cases{k, :});
end
t = (0:rows - 1)' / fs; %#ok<NASGU>
save(out_file, 'scans', 't', 'fs', '-v7');
end

function [data, x_sensor, y_sensor, vessel_end, fs, rows] = simulate(array, phantom, c)
N = 256;
dx = 1e-4;
kgrid = kWaveGrid(N, dx, N, dx);
fs = 50e6;
rows = 800;
kgrid.setTime(rows, 1 / fs);
medium.sound_speed = c;
% k-Wave's first grid dimension is x here; the grid's points are
% (kgrid.x_vec(i), kgrid.y_vec(j)).
[X, Y] = ndgrid(kgrid.x_vec, kgrid.y_vec);
p0 = zeros(N, N);
vessel_end = [NaN NaN];
switch phantom
  case 'points'
    at = [-4.0 4.5; 3.1 5.0; 4.9 -3.3; -0.8 -1.2] * 1e-3;
    for k = 1:size(at, 1)
      [~, i] = min(abs(kgrid.x_vec - at(k, 1)));
      [~, j] = min(abs(kgrid.y_vec - at(k, 2)));
      p0(i, j) = 1;
    end
  case 'vessel'
    s = linspace(0, 1, 2001)';
    centre = [-5.1 + 9 * s, -4.2 + 4.2 * s + 1.0 * sin(2 * pi * s)] * 1e-3;
    d = inf(N, N);
    for k = 1:numel(s)
      d = min(d, (X - centre(k, 1)) .^ 2 + (Y - centre(k, 2)) .^ 2);
    end
    p0(d <= (0.15e-3) ^ 2) = 1;
    vessel_end = centre(1, :);
  case 'disc'
    p0((X - 0.5e-3) .^ 2 + (Y + 1.0e-3) .^ 2 <= (3e-3) ^ 2) = 1;
end
source.p0 = p0;
if strcmp(array, 'ring')
  theta = 2 * pi * (0:255) / 256;
  x_sensor = 10e-3 * cos(theta(:));
  y_sensor = 10e-3 * sin(theta(:));
else
  x_sensor = ((0:127)' - 63.5) * 0.15e-3;
  y_sensor = 10e-3 * ones(128, 1);
end
sensor.mask = [x_sensor'; y_sensor'];
data = kspaceFirstOrder2D(kgrid, medium, source, sensor, 'PlotSim', false, ...
                          'PMLInside', true, 'PMLSize', 20, 'DataCast', 'single');
data = double(data)';   % samples x sensors
end
